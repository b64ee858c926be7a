#pragma once

#include "cli/cardsession.h"

#include <QJsonObject>
#include <QString>

#include <optional>

// The terminal side of the program: result lines and JSON on standard output, errors, prompts
// and progress on standard error, answers from standard input.
class Console {
  public:
    Console();

    // Results as JSON objects, one a line, instead of text.
    void setJson(bool on) { json_ = on; }
    bool json() const { return json_; }

    void line(const QString &text);
    void write(const QString &text);
    void error(const QString &text);
    void json(const QJsonObject &object);

    // What a command did, on one line or to one card of a run: text on standard output, or
    // with JSON the fields with the command, the exit code and, for a failure, text as its
    // error. Returns code.
    int result(const QString &command, int code, const QString &text, QJsonObject fields = {});
    // A failure: text on standard error and, with JSON, the fields with the command, the exit
    // code and the error, which is text unless given. Returns code.
    int failure(const QString &command, int code, const QString &text, QJsonObject fields = {},
                const std::optional<QString> &error = std::nullopt);
    // With JSON, the fields with the command and the exit code; nothing otherwise.
    void summary(const QString &command, int code, QJsonObject fields);

    // Whether standard input is a terminal, where a question can be answered.
    bool interactive() const { return stdinTerminal_; }
    // Shows the prompt and reads one line, without its blanks; nothing at the end of input.
    std::optional<QString> ask(const QString &prompt);

    // Bytes sent of a frame, on a terminal, for a frame that is more than a second on the line.
    void progress(qint64 sent, qint64 total);
    // A line of progress on a terminal, written over by the next; other output comes first.
    void status(const QString &text);

    static QJsonObject readBackJson(const CardReply &card);
    static QJsonObject settingsJson(const SettingsValues &values);

  private:
    void clearStatus();

    bool json_ = false;
    bool stdinTerminal_;
    bool stderrTerminal_;
    bool progressShown_ = false;
    qsizetype statusShown_ = 0; // characters of the status line on the terminal now
};
