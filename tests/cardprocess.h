#pragma once

#include "tests/pty.h"

#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>

// The virtual card is built beside the tests: build/tests/stravik_tests, build/tools/virtual-card.
inline QString cardProgram() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/virtual-card");
}

// The virtual card as its own process, in --headless mode: it names its pseudo-terminal on
// the first line and then prints every frame it takes and the state of the cards it changed.
class CardProcess {
  public:
    explicit CardProcess(const QString &addresses = QStringLiteral("1")) {
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
                       {QStringLiteral("--headless"), QStringLiteral("--cards"), addresses});
        using namespace std::chrono_literals;
        if (waitFor([this] { return !lines_.isEmpty(); }, 10s) &&
            lines_.first().startsWith(QStringLiteral("slave: ")))
            slavePath_ = lines_.first().mid(7);
    }
    ~CardProcess() {
        process_.terminate();
        if (!process_.waitForFinished(5000))
            process_.kill();
        process_.waitForFinished(5000);
    }
    CardProcess(const CardProcess &) = delete;
    CardProcess &operator=(const CardProcess &) = delete;

    bool started() const { return !slavePath_.isEmpty(); }
    QString slavePath() const { return slavePath_; }

    // Lines printed from index `from` on.
    QStringList linesFrom(qsizetype from) const { return lines_.mid(from); }
    qsizetype lineCount() const { return lines_.size(); }

    // Everything printed so far, for failure messages.
    QString transcript() const { return lines_.join(QLatin1Char('\n')); }

    // Waits until a line from index `from` on equals `line`.
    bool waitForLine(const QString &line, qsizetype from = 0,
                     std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        return waitFor([&] { return lines_.indexOf(line, from) >= 0; }, deadline);
    }

    // Waits until a line from index `from` on starts with `prefix` (or contains `part`);
    // returns it, or an empty string when none came.
    QString waitForLineStarting(const QString &prefix, qsizetype from = 0,
                                std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        return waitForLineWhere([&](const QString &l) { return l.startsWith(prefix); }, from,
                                deadline);
    }
    QString waitForLineContaining(const QString &part, qsizetype from = 0,
                                  std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        return waitForLineWhere([&](const QString &l) { return l.contains(part); }, from, deadline);
    }

    qsizetype count(const QString &prefix, qsizetype from = 0) const {
        qsizetype n = 0;
        for (qsizetype i = from; i < lines_.size(); ++i)
            n += lines_[i].startsWith(prefix);
        return n;
    }

  private:
    template <typename Pred>
    QString waitForLineWhere(Pred pred, qsizetype from, std::chrono::milliseconds deadline) {
        QString found;
        waitFor(
            [&] {
                for (qsizetype i = from; i < lines_.size(); ++i)
                    if (pred(lines_[i])) {
                        found = lines_[i];
                        return true;
                    }
                return false;
            },
            deadline);
        return found;
    }

    QProcess process_;
    QByteArray buffer_;
    QStringList lines_;
    QString slavePath_;
};
