#include "cli/lines.h"

#include "protocol/frame.h"
#include "texts/commandline.h"
#include "texts/messages.h"

#include <QFile>
#include <QJsonObject>

#include <memory>
#include <optional>

namespace {

// What the command sends, the same on every line.
struct Command {
    int address = 0;
    SettingsChoice settings;
    QString text;
};

QString readStandardInput() {
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return QString();
    QString text = QString::fromUtf8(in.readAll());
    if (text.endsWith(u"\r\n"))
        text.chop(2);
    else if (text.endsWith(u'\n') || text.endsWith(u'\r'))
        text.chop(1);
    return text;
}

// The first refusal of the command's values, as the window words it.
std::optional<QString> prepare(const LinesOptions &o, Command *command) {
    std::optional<int> address;
    if (auto refusal = readNumbers({{msg::kLabelOriginalAddress, o.address, &address}}))
        return refusal;
    if (auto refusal = readSettings(o.settings, &command->settings))
        return refusal;
    command->address = *address;
    if (o.command == u"text" || o.command == u"initial-text")
        command->text = o.text == u"-" ? readStandardInput() : o.text;
    return std::nullopt;
}

// The command on one line: the console prints, the session talks to the card. With many lines
// every result carries the line's name.
class LineRun {
  public:
    LineRun(const LinesOptions &options, const Command &command, Console &console, int line)
        : o_(options), command_(command), console_(console), session_(options.ports[line]),
          name_(options.manyLines ? options.portNames[line] : QString()) {
        session_.setReplyDelay(o_.wait);
        if (!o_.manyLines)
            session_.setProgress(
                [this](qint64 sent, qint64 total) { console_.progress(sent, total); });
    }

    // The command, then the line let go: the exit code.
    Task<int> exec() {
        int code = co_await session_.open();
        if (code != kExitDone)
            co_return sessionFailure(code);
        code = co_await command();
        co_await session_.close();
        co_return code;
    }

  private:
    Task<int> command() {
        if (o_.command == u"restart")
            return restart();
        if (o_.command == u"set")
            return set();
        return text(o_.command == u"text" ? DisplayText::Current : DisplayText::Initial);
    }

    // A text as printed: with many lines, each of its lines after the line's name.
    QString onLine(const QString &text) const {
        return name_.isEmpty() ? text : msg::cli::onLine(name_, text);
    }

    QJsonObject withLine(QJsonObject fields) const {
        if (!name_.isEmpty())
            fields.insert("port", name_);
        return fields;
    }

    int sessionFailure(int code, const QJsonObject &fields = {}) {
        return console_.failure(o_.command, code, onLine(session_.error()), withLine(fields),
                                session_.error());
    }

    int done(const QString &line, const QJsonObject &fields) {
        return console_.result(o_.command, kExitDone, onLine(line), withLine(fields));
    }

    Task<int> restart() {
        CardReply card;
        if (const int code = co_await session_.restart(command_.address, &card))
            co_return sessionFailure(code);
        co_return done(msg::readBackLine(card), Console::readBackJson(card));
    }

    Task<int> set() {
        const int address = command_.address;
        const auto modified = [address](const SettingsValues &sent) {
            return msg::cli::modified(address, msg::settingsLine(sent));
        };
        if (!o_.verify) {
            SettingsValues sent;
            if (const int code = co_await session_.modify(address, command_.settings, &sent))
                co_return sessionFailure(code);
            co_return done(modified(sent),
                           {{"address", address}, {"sent", Console::settingsJson(sent)}});
        }
        CardSession::Checked checked;
        const int code = co_await session_.modifyAndCheck(address, command_.settings, &checked);
        if (!checked.sent)
            co_return sessionFailure(code);
        QJsonObject fields{{"address", address}, {"sent", Console::settingsJson(*checked.sent)}};
        if (checked.readBack)
            fields.insert("readBack", Console::readBackJson(*checked.readBack));
        // The settings went: said even when the read-back differs.
        if (code == kExitDiffers && !console_.json())
            console_.line(onLine(modified(*checked.sent)));
        if (code != kExitDone)
            co_return sessionFailure(code, fields);
        co_return done(modified(*checked.sent) + msg::cli::kReadBackAgrees, fields);
    }

    Task<int> text(DisplayText which) {
        CardSession::SentText sent;
        if (const int code =
                co_await session_.sendText(which, command_.address, command_.text, &sent))
            co_return sessionFailure(code);
        co_return done(sent.caption, {{"address", command_.address},
                                      {"bytes", sent.textBytes},
                                      {"frameBytes", sent.frameBytes},
                                      {"caption", sent.caption}});
    }

    const LinesOptions &o_;
    const Command &command_;
    Console &console_;
    CardSession session_;
    QString name_; // empty when the command runs on one line
};

// Refuses address 0 unless the operator agrees, before anything is written: the exit code of a
// refusal.
std::optional<int> confirmBroadcast(const LinesOptions &o, Console &console, int address) {
    if (address != kAddressBroadcast || o.yes)
        return std::nullopt;
    if (!console.interactive())
        return console.failure(o.command, kExitRefused, msg::cli::broadcastNeedsYes());
    const auto answer = console.ask(msg::cli::broadcastPrompt());
    if (!answer || !msg::cli::isYes(*answer))
        return console.failure(o.command, kExitRefused, msg::cli::kBroadcastNotConfirmed);
    return std::nullopt;
}

} // namespace

Task<int> runOnLines(LinesOptions o, Console &console) {
    Command command;
    if (const auto refusal = prepare(o, &command))
        co_return console.failure(o.command, kExitRefused, *refusal);
    if (o.command == u"set")
        if (const auto refused = confirmBroadcast(o, console, command.address))
            co_return *refused;
    QObject turns; // the line's last signal is over on the next turn, before the run goes
    if (!o.manyLines) {
        LineRun run(o, command, console, 0);
        const int code = co_await run.exec();
        co_await task::nextTurn(&turns);
        co_return code;
    }

    const int total = static_cast<int>(o.ports.size());
    std::vector<std::unique_ptr<LineRun>> runs(o.ports.size());
    int finished = 0, failed = 0, result = kExitDone;
    console.status(msg::cli::linesProgress(0, 0, total));
    co_await task::runAtMost<int>(
        &turns, total, o.jobs,
        [&](int line) {
            runs[std::size_t(line)] = std::make_unique<LineRun>(o, command, console, line);
            return runs[std::size_t(line)]->exec();
        },
        [&](int line, int code) {
            runs[std::size_t(line)].reset();
            ++finished;
            failed += code != kExitDone;
            result = std::max(result, code);
            console.status(msg::cli::linesProgress(finished, failed, total));
        });
    console.error(msg::cli::linesSummary(total, failed));
    co_return result;
}
