#include "cli/values.h"

#include "texts/commandline.h"
#include "texts/messages.h"

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>

std::optional<int> wholeNumber(const QString &text, int low, int high) {
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n >= low && n <= high ? std::optional<int>(n) : std::nullopt;
}

bool polarity(const QString &option, const QString &value) {
    if (const auto forward = msg::cli::forwardWord(value))
        return *forward;
    throw UsageError{msg::cli::badPolarity(option, value)};
}

bool fullScreen(const QString &value) {
    if (const auto full = msg::cli::fullScreenWord(value))
        return *full;
    throw UsageError{msg::cli::badScan(value)};
}

PortChoice portChoice(const QString &value) {
    static const QRegularExpression com(QStringLiteral("^COM([0-9]+)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const auto m = com.match(value);
    if (!m.hasMatch())
        return PortChoice{1, value};
    const auto number = wholeNumber(m.captured(1), kFirstCommPort, kLastCommPort);
#ifdef Q_OS_WIN
    // Windows numbers its ports itself, often past COM8: any COMn is that port.
    if (!number && wholeNumber(m.captured(1), kFirstCommPort, 255))
        return PortChoice{1, value.toUpper()};
#endif
    if (!number)
        throw UsageError{msg::cli::badPort(value)};
    return PortChoice{*number, QString()};
}

std::optional<QString> readNumbers(std::initializer_list<Typed> typed) {
    for (const Typed &t : typed) {
        if (t.text.isEmpty())
            continue;
        *t.value = ParseByteText(t.text);
        if (!*t.value)
            return msg::notAByte(t.label);
    }
    return std::nullopt;
}

std::optional<QString> readSettings(const TypedSettings &typed, SettingsChoice *choice) {
    *choice = typed.words;
    return readNumbers({{msg::kLabelNewAddress, typed.newAddress, &choice->newAddress},
                        {msg::kLabelRows, typed.rows, &choice->rows},
                        {msg::kLabelCharsPerRow, typed.chars, &choice->chars}});
}

QStringList portsFileLines(const QByteArray &bytes) {
    QStringList ports;
    for (const QString &line : QString::fromUtf8(bytes).split(u'\n')) {
        const QString port = line.trimmed();
        if (!port.isEmpty() && !port.startsWith(u'#'))
            ports.append(port.startsWith(QChar(0xFEFF)) ? port.mid(1).trimmed() : port);
    }
    return ports;
}

QStringList readPortsFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw UsageError{msg::cli::portsFileUnreadable(file.fileName(), file.errorString())};
    const QStringList listed = portsFileLines(file.readAll());
    if (listed.isEmpty())
        throw UsageError{msg::cli::portsFileEmpty(file.fileName())};
    return listed;
}

// The parser's own complaints, in the program's words.
QString parserError(const QCommandLineParser &parser) {
    static const QRegularExpression quoted(QStringLiteral("'(.*)'"));
    const QString text = parser.errorText();
    QString name = parser.unknownOptionNames().isEmpty() ? quoted.match(text).captured(1)
                                                         : parser.unknownOptionNames().first();
    if (!name.startsWith(u'-'))
        name.prepend(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"));
    if (text.startsWith(u"Missing value"))
        return msg::cli::missingValue(name);
    if (text.startsWith(u"Unexpected value"))
        return msg::cli::unexpectedValue(name);
    if (!parser.unknownOptionNames().isEmpty())
        return msg::cli::unknownOption(name);
    return text;
}
