#include "cli/apply.h"
#include "cli/cardsession.h"
#include "cli/console.h"
#include "cli/ports.h"
#include "cli/scan.h"
#include "cli/values.h"
#include "protocol/frame.h"
#include "texts/commandline.h"
#include "texts/messages.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace {

struct Options {
    QString command;
    QStringList positional;
    // The lines the command runs on, with their names as given; one unnamed COM1 when none is.
    std::vector<PortChoice> ports{PortChoice{}};
    QStringList portNames{QString()};
    bool manyLines = false; // results carry their line's name
    int jobs = 32;
    bool json = false;
    bool yes = false;
    bool verify = false;
    bool dryRun = false;
    bool help = false;
    int waitMs = 500;
    std::optional<int> count;
    QString firstAddress;
    std::optional<QString> initialText;
    // The settings options as typed: numbers are refused later with the window's texts.
    QString newAddress, rows, chars;
    SettingsChoice settings;
    int from = 1, to = 255; // scan
};

// Every option of every command; which command takes which is checked after parsing.
struct OptionSet {
    QCommandLineOption help{{"h", "help"}};
    QCommandLineOption json{"json"};
    QCommandLineOption yes{"yes"};
    QCommandLineOption verify{"verify"};
    QCommandLineOption dryRun{"dry-run"};
    QCommandLineOption port{"port", {}, "port"};
    QCommandLineOption ports{"ports", {}, "file"};
    QCommandLineOption jobs{"jobs", {}, "n"};
    QCommandLineOption wait{"wait", {}, "ms"};
    QCommandLineOption count{"count", {}, "m"};
    QCommandLineOption firstAddress{"first-address", {}, "n"};
    QCommandLineOption initialText{"initial-text", {}, "text"};
    QCommandLineOption newAddress{"new-address", {}, "n"};
    QCommandLineOption rows{"rows", {}, "r"};
    QCommandLineOption chars{"chars", {}, "c"};
    QCommandLineOption data{"data", {}, "polarity"};
    QCommandLineOption oe{"oe", {}, "polarity"};
    QCommandLineOption scan{"scan", {}, "mode"};
    QCommandLineOption from{"from", {}, "a"};
    QCommandLineOption to{"to", {}, "b"};
};

// The options each command takes, and how many positional arguments.
struct CommandShape {
    int positional;
    std::set<QString> options;
};
const std::map<QString, CommandShape> &commands() {
    const std::set<QString> settings{"new-address", "rows", "chars", "data", "oe", "scan"};
    auto with = [&](std::set<QString> own, bool withSettings) {
        own.insert({"json", "help"});
        if (withSettings)
            own.insert(settings.begin(), settings.end());
        return own;
    };
    const std::set<QString> lines{"port", "ports", "jobs"};
    auto onLines = [&](std::set<QString> own, bool withSettings) {
        own.insert(lines.begin(), lines.end());
        return with(own, withSettings);
    };
    static const std::map<QString, CommandShape> all{
        {"ports", {0, with({}, false)}},
        {"restart", {1, onLines({"wait"}, false)}},
        {"set", {1, onLines({"wait", "verify", "yes"}, true)}},
        {"initial-text", {2, onLines({}, false)}},
        {"text", {2, onLines({}, false)}},
        {"apply", {1, with({"jobs", "wait", "dry-run"}, false)}},
        {"provision",
         {0,
          [&] {
              auto own = with({"port", "wait", "first-address", "count", "initial-text"}, true);
              own.erase("new-address");
              return own;
          }()}},
        {"scan", {0, with({"port", "wait", "yes", "from", "to"}, false)}},
    };
    return all;
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

// The command and what it was given: a known command, only options it takes, and as many
// positional arguments as it needs. Returns the positional arguments after the command.
QStringList checkShape(const QCommandLineParser &parser, QString *command) {
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        throw UsageError{msg::cli::kMissingCommand};
    *command = positional.takeFirst();
    const auto shape = commands().find(*command);
    if (shape == commands().end())
        throw UsageError{msg::cli::unknownCommand(*command)};
    for (const QString &name : parser.optionNames()) {
        const QString option = name.size() == 1 ? QStringLiteral("help") : name;
        if (!shape->second.options.count(option))
            throw UsageError{msg::cli::optionNotTaken(*command, option)};
    }
    if (positional.size() != shape->second.positional)
        throw UsageError{
            msg::cli::argumentCount(*command, shape->second.positional, positional.size())};
    return positional;
}

// One port a line; blanks around it, blank lines and lines starting with # are left out.
QStringList portsFileLines(const QByteArray &bytes) {
    QStringList ports;
    for (const QString &line : QString::fromUtf8(bytes).split(u'\n')) {
        const QString port = line.trimmed();
        if (!port.isEmpty() && !port.startsWith(u'#'))
            ports.append(port.startsWith(QChar(0xFEFF)) ? port.mid(1).trimmed() : port);
    }
    return ports;
}

// The lines: every --port, then the ports file's, each once.
void readLines(const QCommandLineParser &parser, const OptionSet &o, Options *options) {
    QStringList names = parser.values(o.port);
    if (parser.isSet(o.ports)) {
        QFile file(parser.value(o.ports));
        if (!file.open(QIODevice::ReadOnly))
            throw UsageError{msg::cli::portsFileUnreadable(file.fileName(), file.errorString())};
        const QStringList listed = portsFileLines(file.readAll());
        if (listed.isEmpty())
            throw UsageError{msg::cli::portsFileEmpty(file.fileName())};
        names += listed;
    }
    if (parser.isSet(o.jobs)) {
        const auto jobs = wholeNumber(parser.value(o.jobs), 1, 1000);
        if (!jobs)
            throw UsageError{msg::cli::kBadJobs};
        options->jobs = *jobs;
    }
    if (names.isEmpty())
        return;
    if ((options->command == u"provision" || options->command == u"scan") && names.size() > 1)
        throw UsageError{msg::cli::oneLineOnly(options->command)};
    options->ports.clear();
    options->portNames.clear();
    for (const QString &name : names) {
        if (options->portNames.contains(name))
            throw UsageError{msg::cli::portTwice(name)};
        options->ports.push_back(portChoice(name));
        options->portNames.append(name);
    }
    options->manyLines = names.size() > 1 || parser.isSet(o.ports);
}

// The options' values; a value out of its range or of the wrong word is a usage error. The
// settings' numbers are kept as typed, to be refused later with the window's texts.
void readValues(const QCommandLineParser &parser, const OptionSet &o, Options *options) {
    options->json = parser.isSet(o.json);
    options->yes = parser.isSet(o.yes);
    options->verify = parser.isSet(o.verify);
    options->dryRun = parser.isSet(o.dryRun);
    readLines(parser, o, options);
    if (parser.isSet(o.wait)) {
        const auto ms = wholeNumber(parser.value(o.wait), 500, 60000);
        if (!ms)
            throw UsageError{msg::cli::kBadWait};
        options->waitMs = *ms;
    }
    if (parser.isSet(o.count)) {
        options->count = wholeNumber(parser.value(o.count), 1, 256);
        if (!options->count)
            throw UsageError{msg::cli::kBadCount};
    }
    options->firstAddress = parser.value(o.firstAddress);
    if (parser.isSet(o.initialText))
        options->initialText = parser.value(o.initialText);
    options->newAddress = parser.value(o.newAddress);
    options->rows = parser.value(o.rows);
    options->chars = parser.value(o.chars);
    SettingsChoice &s = options->settings;
    if (parser.isSet(o.data))
        s.dataForward = polarity(QStringLiteral("--data"), parser.value(o.data));
    if (parser.isSet(o.oe))
        s.oeForward = polarity(QStringLiteral("--oe"), parser.value(o.oe));
    if (parser.isSet(o.scan))
        s.fullScreen = fullScreen(parser.value(o.scan));
    const std::pair<const QCommandLineOption *, int *> range[] = {{&o.from, &options->from},
                                                                  {&o.to, &options->to}};
    for (const auto &[option, value] : range)
        if (parser.isSet(*option)) {
            const auto address = wholeNumber(parser.value(*option), 1, 255);
            if (!address)
                throw UsageError{msg::cli::kBadScanRange};
            *value = *address;
        }
    if (options->from > options->to)
        throw UsageError{msg::cli::kScanRangeReversed};
}

// What a command cannot do without: provision its first address, set at least one setting.
void checkRequired(const QCommandLineParser &parser, const OptionSet &o, const QString &command) {
    if (command == u"provision" && !parser.isSet(o.firstAddress))
        throw UsageError{msg::cli::kNeedsFirstAddress};
    bool anySetting = false;
    for (const QCommandLineOption *option :
         {&o.newAddress, &o.rows, &o.chars, &o.data, &o.oe, &o.scan})
        anySetting = anySetting || parser.isSet(*option);
    if (command == u"set" && !anySetting)
        throw UsageError{msg::cli::kSetNeedsSetting};
}

Options parse(const QStringList &arguments) {
    OptionSet o;
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    for (const QCommandLineOption *option :
         {&o.help,  &o.json, &o.yes,   &o.verify,       &o.dryRun,      &o.port,       &o.ports,
          &o.jobs,  &o.wait, &o.count, &o.firstAddress, &o.initialText, &o.newAddress, &o.rows,
          &o.chars, &o.data, &o.oe,    &o.scan,         &o.from,        &o.to})
        parser.addOption(*option);
    if (!parser.parse(arguments))
        throw UsageError{parserError(parser)};

    Options options;
    options.help = parser.isSet(o.help);
    if (options.help)
        return options;
    options.positional = checkShape(parser, &options.command);
    readValues(parser, o, &options);
    checkRequired(parser, o, options.command);
    return options;
}

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

// What a command sends, read from the options once for every line: a refusal here is the
// whole run's, before any line opens.
struct Command {
    QString name;
    int address = 0;
    SettingsChoice settings;
    QString text;
};

// The first refusal of the command's values, as the window words it.
std::optional<QString> prepare(Options &o, Command *command) {
    command->name = o.command;
    std::optional<int> address;
    SettingsChoice &s = o.settings;
    if (auto refusal = readNumbers({{msg::kLabelOriginalAddress, o.positional[0], &address},
                                    {msg::kLabelNewAddress, o.newAddress, &s.newAddress},
                                    {msg::kLabelRows, o.rows, &s.rows},
                                    {msg::kLabelCharsPerRow, o.chars, &s.chars}}))
        return refusal;
    command->address = *address;
    command->settings = s;
    if (o.command == u"text" || o.command == u"initial-text")
        command->text = o.positional[1] == u"-" ? readStandardInput() : o.positional[1];
    return std::nullopt;
}

// The command on one line: the console prints, the session talks to the card. With many lines
// every result carries the line's name.
class LineRun {
  public:
    LineRun(const Options &options, const Command &command, Console &console, int line)
        : o_(options), command_(command), console_(console), session_(options.ports[line]),
          name_(options.manyLines ? options.portNames[line] : QString()) {
        session_.setReplyDelay(std::chrono::milliseconds(o_.waitMs));
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
        if (command_.name == u"restart")
            return restart();
        if (command_.name == u"set")
            return set();
        return text(command_.name == u"text" ? DisplayText::Current : DisplayText::Initial);
    }

    // A text as printed: with many lines, each of its lines after the line's name.
    QString onLine(const QString &text) const {
        return name_.isEmpty() ? text : msg::cli::onLine(name_, text);
    }

    QJsonObject withLine(QJsonObject fields, int code) const {
        if (!name_.isEmpty())
            fields.insert("port", name_);
        fields.insert("command", command_.name);
        fields.insert("exit", code);
        return fields;
    }

    // A failure's text goes to standard error; with --json its fields to standard output.
    int failure(int code, const QString &text, QJsonObject fields = {}) {
        console_.error(onLine(text));
        fields.insert("error", text);
        if (o_.json)
            console_.json(withLine(fields, code));
        return code;
    }

    int sessionFailure(int code, QJsonObject fields = {}) {
        return failure(code, session_.error(), std::move(fields));
    }

    int done(const QString &line, const QJsonObject &fields) {
        if (o_.json)
            console_.json(withLine(fields, kExitDone));
        else
            console_.line(onLine(line));
        return kExitDone;
    }

    Task<int> restart() {
        CardReply card;
        if (const int code = co_await session_.restart(command_.address, &card))
            co_return sessionFailure(code);
        co_return done(msg::readBackLine(card), Console::readBackJson(card));
    }

    Task<int> set() {
        const int address = command_.address;
        SettingsValues sent;
        if (const int code = co_await session_.modify(address, command_.settings, &sent))
            co_return sessionFailure(code);
        QJsonObject fields{{"address", address}, {"sent", Console::settingsJson(sent)}};
        QString line = msg::cli::modified(address, msg::settingsLine(sent));
        if (o_.verify) {
            CardReply card;
            if (const int code = co_await session_.restart(sent.newAddress, &card))
                co_return sessionFailure(code, fields);
            fields.insert("readBack", Console::readBackJson(card));
            const QStringList differences = msg::readBackDifferences(sent, card);
            if (!differences.isEmpty()) {
                if (!o_.json)
                    console_.line(onLine(line));
                co_return failure(kExitDiffers, msg::cli::readBackDiffers(differences), fields);
            }
            line += msg::cli::kReadBackAgrees;
        }
        co_return done(line, fields);
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

    const Options &o_;
    const Command &command_;
    Console &console_;
    CardSession session_;
    QString name_; // empty when the command runs on one line
};

// Refuses address 0 unless the operator agrees, before anything is written: the exit code of a
// refusal.
std::optional<int> confirmBroadcast(const Options &o, Console &console, int address) {
    if (address != kAddressBroadcast || o.yes)
        return std::nullopt;
    const auto refuse = [&](const QString &text) {
        return console.failure(o.command, kExitRefused, text, o.json);
    };
    if (!console.interactive())
        return refuse(msg::cli::broadcastNeedsYes());
    const auto answer = console.ask(msg::cli::broadcastPrompt());
    if (!answer || !msg::cli::isYes(*answer))
        return refuse(msg::cli::kBroadcastNotConfirmed);
    return std::nullopt;
}

// The command on every line at once, at most --jobs lines open together, in this event loop;
// a failing line never stops the others. The highest exit code of any line.
int runOnLines(Options &o, Console &console) {
    Command command;
    if (const auto refusal = prepare(o, &command))
        return console.failure(o.command, kExitRefused, *refusal, o.json);
    if (o.command == u"set")
        if (const auto refused = confirmBroadcast(o, console, command.address))
            return *refused;
    if (!o.manyLines) {
        LineRun run(o, command, console, 0);
        return task::wait(run.exec());
    }

    const int total = static_cast<int>(o.ports.size());
    std::vector<std::unique_ptr<LineRun>> runs(o.ports.size());
    int finished = 0, failed = 0, result = kExitDone;
    console.status(msg::cli::linesProgress(0, 0, total));
    task::runAtMost<int>(
        total, o.jobs,
        [&](int line) {
            runs[std::size_t(line)] = std::make_unique<LineRun>(o, command, console, line);
            return runs[std::size_t(line)]->exec();
        },
        [&](int line, int code) {
            ++finished;
            failed += code != kExitDone;
            result = std::max(result, code);
            console.status(msg::cli::linesProgress(finished, failed, total));
            // The run is still on its way out of its last step: it goes on the next turn.
            QTimer::singleShot(0, [&runs, line] { runs[std::size_t(line)].reset(); });
        });
    console.error(msg::cli::linesSummary(total, failed));
    return result;
}

// provision: one line, one card after another as the operator connects them.
class Provision {
  public:
    Provision(Options &options, Console &console)
        : o_(options), console_(console), session_(options.ports[0]) {
        session_.setReplyDelay(std::chrono::milliseconds(o_.waitMs));
        session_.setProgress([this](qint64 sent, qint64 total) { console_.progress(sent, total); });
    }

    int exec() {
        int first = 0, last = 0;
        if (const auto refused = checkProvision(&first, &last))
            return *refused;
        if (const int code = task::wait(session_.open()))
            return failure(code, session_.error());
        int result = kExitDone;
        int address = first;
        for (int cardNumber = 1; address <= last; ++cardNumber) {
            if (!console_.ask(msg::cli::connectCard(cardNumber)))
                break;
            const CardResult card = provisionCard(cardNumber, address);
            if (card.code == kExitDone)
                ++address;
            else
                result = card.code;
            if (card.endsRun)
                break;
        }
        task::wait(session_.close());
        console_.error(msg::cli::provisionSummary(first, address));
        return result;
    }

  private:
    int refuse(const QString &text) { return failure(kExitRefused, text); }

    // A failure's text goes to standard error, or to standard output where it is the result
    // of one card of the run.
    int failure(int code, const QString &text, QJsonObject fields = {}, bool result = false) {
        if (!result)
            console_.error(text);
        else if (!o_.json)
            console_.line(text);
        fields.insert("command", o_.command);
        fields.insert("exit", code);
        fields.insert("error", text);
        if (o_.json)
            console_.json(fields);
        return code;
    }

    int done(const QString &line, QJsonObject fields) {
        fields.insert("command", o_.command);
        fields.insert("exit", kExitDone);
        if (o_.json)
            console_.json(fields);
        else
            console_.line(line);
        return kExitDone;
    }
    // The addresses a provision run gives, first to last; every one of them, and the text, are
    // checked before the first card. The exit code of a refusal.
    std::optional<int> checkProvision(int *first, int *last) {
        std::optional<int> given;
        SettingsChoice &s = o_.settings;
        if (auto refusal = readNumbers({{msg::kLabelNewAddress, o_.firstAddress, &given},
                                        {msg::kLabelRows, o_.rows, &s.rows},
                                        {msg::kLabelCharsPerRow, o_.chars, &s.chars}}))
            return refuse(*refusal);
        if (!given)
            return refuse(msg::notAByte(msg::kLabelNewAddress));
        *first = *given;
        *last = o_.count ? *first + *o_.count - 1 : 255;
        if (*last > 255)
            return refuse(msg::cli::lastAddressBeyond(*o_.count, *last));
        if (o_.initialText) {
            // The longest frame of the run is the one to the highest address.
            const DisplayTextFrame longest = BuildDisplayTextFrame(
                *last, kLetterInitialText, WithCardLineBreaks(*o_.initialText));
            if (static_cast<qsizetype>(longest.frame.size()) > kMaxFrameLength)
                return refuse(msg::kTextTooLong);
        }
        return std::nullopt;
    }

    // One card of a provision run, set up again for as long as the operator retries it: its
    // exit code (kExitDone when it passed), and whether the run ends with it (the port went
    // away, or the input ended at the question).
    struct CardResult {
        int code;
        bool endsRun;
    };
    CardResult provisionCard(int cardNumber, int address) {
        for (;;) {
            const int code = setUpCard(cardNumber, address);
            if (code == kExitDone || code == kExitPort)
                return {code, code == kExitPort};
            const auto answer = askRetry(cardNumber);
            if (answer == u"r")
                continue;
            console_.error(msg::cli::cardSkipped(cardNumber));
            return {code, !answer};
        }
    }

    // "r" to retry, "s" to skip, nothing at the end of input.
    std::optional<QString> askRetry(int cardNumber) {
        for (;;) {
            const auto answer = console_.ask(msg::cli::retryPrompt(cardNumber));
            if (!answer)
                return answer;
            if (const auto choice = msg::cli::retryAnswer(*answer))
                return QString(*choice);
        }
    }

    // The operator connects one card alone and confirms it with Enter: that is the answer to
    // the broadcast question.
    int setUpCard(int cardNumber, int address) {
        SettingsChoice choice = o_.settings;
        choice.newAddress = address;
        const QString prefix = msg::cli::cardPrefix(cardNumber);
        QJsonObject fields{{"card", cardNumber}, {"address", address}};
        SettingsValues sent;
        int code = task::wait(session_.modify(kAddressBroadcast, choice, &sent));
        CardReply card;
        if (code == kExitDone)
            code = task::wait(session_.restart(address, &card));
        if (code != kExitDone)
            return failure(code, prefix + session_.error(), fields, true);
        fields.insert("readBack", Console::readBackJson(card));
        if (const QStringList differences = msg::readBackDifferences(sent, card);
            !differences.isEmpty())
            return failure(kExitDiffers, prefix + msg::cli::readBackDiffers(differences), fields,
                           true);
        QString caption;
        if (o_.initialText) {
            CardSession::SentText text;
            if (const int code = task::wait(
                    session_.sendText(DisplayText::Initial, address, *o_.initialText, &text)))
                return failure(code, prefix + session_.error(), fields, true);
            fields.insert("caption", text.caption);
            caption = text.caption;
        }
        return done(prefix + msg::cli::cardDone(msg::readBackLine(card), caption), fields);
    }

    Options &o_;
    Console &console_;
    CardSession session_;
};

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    Console console;
    Options options;
    try {
        options = parse(app.arguments());
    } catch (const UsageError &e) {
        console.error(msg::cli::usageError(e.text));
        return kExitUsage;
    }
    if (options.help) {
        console.write(msg::cli::help());
        return kExitDone;
    }
    if (options.command == u"ports")
        return listPorts(options.json, console);
    if (options.command == u"provision")
        return Provision(options, console).exec();
    if (options.command == u"scan") {
        CardSession session(options.ports[0]);
        session.setReplyDelay(std::chrono::milliseconds(options.waitMs));
        return runScan(session, console, {options.from, options.to, options.yes, options.json});
    }
    if (options.command == u"apply")
        return applyPlan({.file = options.positional[0],
                          .dryRun = options.dryRun,
                          .json = options.json,
                          .jobs = options.jobs,
                          .waitMs = options.waitMs},
                         console);
    return runOnLines(options, console);
}
