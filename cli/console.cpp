#include "cli/console.h"

#include "protocol/frame.h"
#include "texts/commandline.h"

#include <QJsonDocument>

#include <cstdio>
#include <iostream>
#include <string>

#include <unistd.h>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

void put(std::FILE *stream, const QString &text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

Console::Console()
    : stdinTerminal_(::isatty(STDIN_FILENO) == 1), stderrTerminal_(::isatty(STDERR_FILENO) == 1) {
#ifdef Q_OS_WIN
    // The program writes UTF-8; a console left on code page 936 would show it garbled.
    ::SetConsoleOutputCP(CP_UTF8);
#endif
}

void Console::line(const QString &text) {
    clearStatus();
    put(stdout, text + u'\n');
}

void Console::status(const QString &text) {
    if (!stderrTerminal_)
        return;
    clearStatus();
    put(stderr, text);
    statusShown_ = text.size();
}

void Console::clearStatus() {
    if (statusShown_ == 0)
        return;
    // A Chinese character takes two columns.
    put(stderr, u'\r' + QString(2 * statusShown_, u' ') + u'\r');
    statusShown_ = 0;
}

void Console::write(const QString &text) {
    put(stdout, text);
}

void Console::error(const QString &text) {
    clearStatus();
    if (progressShown_) {
        put(stderr, QStringLiteral("\n"));
        progressShown_ = false;
    }
    put(stderr, text + u'\n');
}

void Console::json(const QJsonObject &object) {
    clearStatus();
    put(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + u'\n');
}

int Console::result(const QString &command, int code, const QString &text, QJsonObject fields) {
    if (!json_) {
        line(text);
        return code;
    }
    if (code != kExitDone)
        fields.insert("error", text);
    summary(command, code, std::move(fields));
    return code;
}

int Console::failure(const QString &command, int code, const QString &text, QJsonObject fields,
                     const std::optional<QString> &why) {
    error(text);
    fields.insert("error", why.value_or(text));
    summary(command, code, std::move(fields));
    return code;
}

void Console::summary(const QString &command, int code, QJsonObject fields) {
    if (!json_)
        return;
    fields.insert("command", command);
    fields.insert("exit", code);
    json(fields);
}

std::optional<QString> Console::ask(const QString &prompt) {
    put(stderr, prompt + (prompt.endsWith(u' ') ? QString() : QStringLiteral(" ")));
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        put(stderr, QStringLiteral("\n"));
        return std::nullopt;
    }
    // A terminal has echoed the answer with its line break; a script's answer is not shown.
    if (!stdinTerminal_)
        put(stderr, QStringLiteral("\n"));
    return QString::fromStdString(answer).trimmed();
}

void Console::progress(qint64 sent, qint64 total) {
    if (!stderrTerminal_ || kCardLine.timeMs(total) <= 1000)
        return;
    put(stderr, u'\r' + msg::cli::progress(sent, total));
    progressShown_ = sent < total;
    if (sent >= total)
        put(stderr, QStringLiteral("\n"));
}

QJsonObject Console::readBackJson(const CardReply &card) {
    const ReplyValues &v = card.values;
    const Polarities polarities = DecodePolarityFlags(v[3]);
    const ScanMode scan = DecodeScanMode(v[4]);
    return {{"address", v[0]},
            {"rows", v[1]},
            {"chars", v[2]},
            {"data", polarities.dataForward ? "forward" : "reverse"},
            {"oe", polarities.oeForward ? "forward" : "reverse"},
            {"scan", scan == ScanMode::Full   ? QJsonValue("full")
                     : scan == ScanMode::Half ? QJsonValue("half")
                                              : QJsonValue(v[4])},
            {"raw", QString::fromLatin1(card.bytes.toHex(' ').toUpper())}};
}

QJsonObject Console::settingsJson(const SettingsValues &v) {
    const Polarities polarities = DecodePolarityFlags(v.polarityFlags);
    return {{"newAddress", v.newAddress},
            {"rows", v.rows},
            {"chars", v.charsPerRow},
            {"data", polarities.dataForward ? "forward" : "reverse"},
            {"oe", polarities.oeForward ? "forward" : "reverse"},
            {"scan", v.scanMode == 1 ? "full" : "half"}};
}
