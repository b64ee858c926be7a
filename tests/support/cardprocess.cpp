#include "tests/support/cardprocess.h"

#include "tests/support/eventloop.h"

#include <QCoreApplication>

QString stravikProgram() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../app/stravik");
}

QString stravikCliProgram() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../cli/stravik-cli");
}

QString cardProgram() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../virtualcard/virtual-card");
}

CardProcess::CardProcess(const QString &addresses, History history, const QStringList &options)
    : history_(history) {
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] {
        buffer_ += process_.readAllStandardOutput();
        qsizetype end;
        while ((end = buffer_.indexOf('\n')) >= 0) {
            lines_ << QString::fromUtf8(buffer_.left(end));
            buffer_.remove(0, end + 1);
        }
    });
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(cardProgram(),
                   QStringList{QStringLiteral("--headless"), QStringLiteral("--cards"), addresses} +
                       options);
    if (!waitFor([this] { return !lines_.isEmpty(); }, std::chrono::seconds(10)))
        return;
    for (const QString &kind : {QStringLiteral("slave: "), QStringLiteral("listen: ")})
        if (lines_.first().startsWith(kind))
            slavePath_ = lines_.first().mid(kind.size());
}

CardProcess::~CardProcess() {
    process_.terminate();
    if (!process_.waitForFinished(5000))
        process_.kill();
    process_.waitForFinished(5000);
}

QStringList CardProcess::linesFrom(qsizetype from) const {
    return lines_.mid(qMax<qsizetype>(0, from - first_));
}

bool CardProcess::waitForLine(const QString &line, qsizetype from,
                              std::chrono::milliseconds deadline) {
    return waitFor([&] { return lines_.indexOf(line, qMax<qsizetype>(0, from - first_)) >= 0; },
                   deadline);
}

QString CardProcess::waitForLineStarting(const QString &prefix, qsizetype from,
                                         std::chrono::milliseconds deadline) {
    return waitForLineWhere([&](const QString &l) { return l.startsWith(prefix); }, from, deadline);
}

QString CardProcess::waitForLineContaining(const QString &part, qsizetype from,
                                           std::chrono::milliseconds deadline) {
    return waitForLineWhere([&](const QString &l) { return l.contains(part); }, from, deadline);
}

qsizetype CardProcess::count(const QString &prefix, qsizetype from) const {
    qsizetype n = 0;
    for (const QString &line : linesFrom(from))
        n += line.startsWith(prefix);
    return n;
}

std::optional<QString> CardProcess::next(std::chrono::milliseconds deadline) {
    if (!waitFor([this] { return next_ < lineCount(); }, deadline))
        return std::nullopt;
    QString line = lines_.at(next_++ - first_);
    if (history_ == History::Drop)
        while (first_ < next_) {
            lines_.removeFirst();
            ++first_;
        }
    return line;
}

template <typename Pred>
QString CardProcess::waitForLineWhere(Pred pred, qsizetype from,
                                      std::chrono::milliseconds deadline) {
    QString found;
    waitFor(
        [&] {
            for (qsizetype i = qMax<qsizetype>(0, from - first_); i < lines_.size(); ++i)
                if (pred(lines_[i])) {
                    found = lines_[i];
                    return true;
                }
            return false;
        },
        deadline);
    return found;
}
