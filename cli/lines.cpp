#include "cli/lines.h"

#include "cli/runstop.h"
#include "cli/siteplan.h"

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
    // stop: Ctrl+C over the run; reported: where a restart's read-back goes, for the plan.
    LineRun(const LinesOptions &options, const Command &command, Console &console, int line,
            RunStop &stop, std::optional<CardReply> *reported)
        : o_(options), command_(command), console_(console), session_(options.ports[line]),
          name_(options.manyLines ? options.portNames[line] : QString()), stop_(stop),
          reported_(reported) {
        session_.setReplyDelay(o_.wait);
        if (!o_.manyLines)
            session_.setProgress(
                [this](qint64 sent, qint64 total) { console_.progress(sent, total); });
    }

    // The command, then the line let go: the exit code.
    Task<int> exec() {
        stop_.track(&session_);
        int code = co_await session_.open();
        if (code == kExitDone) {
            code = co_await command();
            co_await session_.close();
        } else {
            sessionFailure(code);
        }
        stop_.untrack(&session_);
        co_return code;
    }

    // A line the run never started, for Ctrl+C came first.
    static int notStarted(const LinesOptions &o, Console &console, int line) {
        return console.failure(
            o.command, kExitInterrupted, msg::cli::onLine(o.portNames[line], msg::cli::kNotStarted),
            {{"port", o.portNames[line]}, {"status", "notStarted"}}, msg::cli::kNotStarted);
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

    int sessionFailure(int code, QJsonObject fields = {}) {
        const QString why = session_.error();
        fields.insert("status", "failed");
        if (code == kExitInterrupted) {
            // Cut short by Ctrl+C: error() says how much of the last frame left.
            const auto frame = session_.lastFrame().value_or(CardSession::Frame{});
            fields.insert("status", "interrupted");
            fields.insert("frameBytes", frame.bytes);
            fields.insert("sentBytes", frame.left);
        }
        return console_.failure(o_.command, code, onLine(why), withLine(fields), why);
    }

    int done(const QString &line, QJsonObject fields) {
        fields.insert("status", "done");
        return console_.result(o_.command, kExitDone, onLine(line), withLine(fields));
    }

    Task<int> restart() {
        CardReply card;
        if (const int code = co_await session_.restart(command_.address, &card))
            co_return sessionFailure(code);
        if (reported_)
            *reported_ = card;
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
    RunStop &stop_;
    std::optional<CardReply> *reported_;
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
    SitePlan plan;
    if (QString why; !o.plan.isEmpty() && !plan.open(o.plan, &why))
        co_return console.failure(o.command, kExitUsage, msg::cli::planUnwritable(o.plan, why));
    const int total = static_cast<int>(o.ports.size());
    std::vector<std::optional<CardReply>> reported(o.ports.size());
    const auto reportTo = [&](int line) {
        return plan.isOpen() ? &reported[std::size_t(line)] : nullptr;
    };
    RunStop stop;
    QObject turns; // the line's last signal is over on the next turn, before the run goes
    int result = kExitDone;
    if (!o.manyLines) {
        LineRun run(o, command, console, 0, stop, reportTo(0));
        result = co_await run.exec();
        co_await task::nextTurn(&turns);
    } else {
        std::vector<std::unique_ptr<LineRun>> runs(o.ports.size());
        int finished = 0, failed = 0, interrupted = 0, notStarted = 0;
        console.status(msg::cli::linesProgress(0, 0, total));
        co_await task::runAtMost<int>(
            &turns, total, o.jobs,
            [&](int line) -> Task<int> {
                if (stop.stopped()) {
                    ++notStarted;
                    return [](int code) -> Task<int> {
                        co_return code;
                    }(LineRun::notStarted(o, console, line));
                }
                auto &run = runs[std::size_t(line)];
                run = std::make_unique<LineRun>(o, command, console, line, stop, reportTo(line));
                return run->exec();
            },
            [&](int line, int code) {
                runs[std::size_t(line)].reset();
                ++finished;
                failed += code != kExitDone && code != kExitInterrupted;
                interrupted += code == kExitInterrupted;
                result = std::max(result, code);
                if (!stop.stopped())
                    console.status(msg::cli::linesProgress(finished, failed, total));
            });
        if (stop.stopped())
            console.error(msg::cli::linesInterrupted(total, finished - failed - interrupted, failed,
                                                     interrupted - notStarted, notStarted));
        else
            console.error(msg::cli::linesSummary(total, failed));
    }
    if (plan.isOpen()) {
        for (int line = 0; line < total; ++line)
            if (const auto &card = reported[std::size_t(line)])
                plan.add(o.portNames[line].isEmpty()
                             ? QStringLiteral("COM%1").arg(o.ports[0].number)
                             : o.portNames[line],
                         *card);
        if (QString why; !plan.save(&why))
            co_return console.failure(o.command, kExitUsage, msg::cli::planUnwritable(o.plan, why));
        console.error(msg::cli::planWritten(o.plan, plan.rows()));
    }
    co_return stop.stopped() ? int(kExitInterrupted) : result;
}
