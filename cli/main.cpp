#include "cli/cardsession.h"
#include "cli/console.h"
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

#include <map>
#include <optional>
#include <set>

namespace {

struct Options {
    QString command;
    QStringList positional;
    PortChoice port;
    bool json = false;
    bool yes = false;
    bool verify = false;
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
    QCommandLineOption port{"port", {}, "port"};
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
    static const std::map<QString, CommandShape> all{
        {"ports", {0, with({}, false)}},
        {"restart", {1, with({"port", "wait"}, false)}},
        {"set", {1, with({"port", "wait", "verify", "yes"}, true)}},
        {"initial-text", {2, with({"port"}, false)}},
        {"text", {2, with({"port"}, false)}},
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
    QString name = quoted.match(text).captured(1);
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

// The options' values; a value out of its range or of the wrong word is a usage error. The
// settings' numbers are kept as typed, to be refused later with the window's texts.
void readValues(const QCommandLineParser &parser, const OptionSet &o, Options *options) {
    options->json = parser.isSet(o.json);
    options->yes = parser.isSet(o.yes);
    options->verify = parser.isSet(o.verify);
    if (parser.isSet(o.port))
        options->port = portChoice(parser.value(o.port));
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
         {&o.help, &o.json, &o.yes, &o.verify, &o.port, &o.wait, &o.count, &o.firstAddress,
          &o.initialText, &o.newAddress, &o.rows, &o.chars, &o.data, &o.oe, &o.scan, &o.from,
          &o.to})
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

// The whole run of one command; the console prints, the session talks to the card.
class Run {
  public:
    Run(Options &options, Console &console)
        : o_(options), console_(console), session_(options.port) {
        session_.setReplyDelay(std::chrono::milliseconds(o_.waitMs));
        session_.setProgress([this](qint64 sent, qint64 total) { console_.progress(sent, total); });
    }

    int exec() {
        if (o_.command == u"ports")
            return ports();
        if (o_.command == u"restart")
            return restart();
        if (o_.command == u"set")
            return set();
        if (o_.command == u"provision")
            return provision();
        if (o_.command == u"scan")
            return runScan(session_, console_, {o_.from, o_.to, o_.yes, o_.json});
        return text(o_.command == u"text" ? DisplayText::Current : DisplayText::Initial);
    }

  private:
    int refuse(const QString &text) { return failure(kExitRefused, text); }

    // A failure's text goes to standard error, or to standard output where it is the result
    // of one card of a batch.
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

    int sessionFailure(int code) { return failure(code, session_.error()); }

    int openPort() {
        const int code = session_.open();
        return code == kExitDone ? code : sessionFailure(code);
    }

    // One result: a line, or with --json the fields.
    void print(const QString &line, const QJsonObject &fields) {
        if (o_.json)
            console_.json(fields);
        else
            console_.line(line);
    }

    int done(const QString &line, QJsonObject fields) {
        fields.insert("command", o_.command);
        fields.insert("exit", kExitDone);
        print(line, fields);
        return kExitDone;
    }

    int ports() {
        for (int n = kFirstCommPort; n <= kLastCommPort; ++n) {
            const QString item = QStringLiteral("COM%1").arg(n);
            const PortTarget target = portDevice(n);
            const QString description =
                target.device.isEmpty() ? QString() : describeDevice(target.device);
            QJsonObject fields{{"port", item}, {"device", target.device}};
            if (!target.ghost.isEmpty())
                fields.insert("ghost", target.ghost);
            if (description != target.device)
                fields.insert("description", description.mid(target.device.size() + 3));
            print(target.device.isEmpty() ? msg::noDevice(item, target.ghost)
                                          : msg::cli::portLine(item, target.device, description),
                  fields);
        }
        return kExitDone;
    }

    int restart() {
        std::optional<int> address;
        if (auto refusal = readNumbers({{msg::kLabelOriginalAddress, o_.positional[0], &address}}))
            return refuse(*refusal);
        if (const int code = openPort())
            return code;
        CardReply card;
        if (const int code = session_.restart(*address, &card))
            return sessionFailure(code);
        return done(msg::readBackLine(card), Console::readBackJson(card));
    }

    // Refuses address 0 unless the operator agrees, before anything is written.
    std::optional<int> confirmBroadcast(int address) {
        if (address != kAddressBroadcast || o_.yes)
            return std::nullopt;
        if (!console_.interactive())
            return refuse(msg::cli::broadcastNeedsYes());
        const auto answer = console_.ask(msg::cli::broadcastPrompt());
        if (!answer || !msg::cli::isYes(*answer))
            return refuse(msg::cli::kBroadcastNotConfirmed);
        return std::nullopt;
    }

    int set() {
        std::optional<int> address;
        SettingsChoice &s = o_.settings;
        if (auto refusal = readNumbers({{msg::kLabelOriginalAddress, o_.positional[0], &address},
                                        {msg::kLabelNewAddress, o_.newAddress, &s.newAddress},
                                        {msg::kLabelRows, o_.rows, &s.rows},
                                        {msg::kLabelCharsPerRow, o_.chars, &s.chars}}))
            return refuse(*refusal);
        if (auto refused = confirmBroadcast(*address))
            return *refused;
        if (const int code = openPort())
            return code;
        SettingsValues sent;
        if (const int code = session_.modify(*address, s, &sent))
            return sessionFailure(code);
        QJsonObject fields{{"address", *address}, {"sent", Console::settingsJson(sent)}};
        QString line = msg::cli::modified(*address, msg::settingsLine(sent));
        if (o_.verify) {
            CardReply card;
            if (const int code = session_.restart(sent.newAddress, &card))
                return failure(code, session_.error(), fields);
            fields.insert("readBack", Console::readBackJson(card));
            const QStringList differences = msg::readBackDifferences(sent, card);
            if (!differences.isEmpty()) {
                if (!o_.json)
                    console_.line(line);
                return failure(kExitDiffers, msg::cli::readBackDiffers(differences), fields);
            }
            line += msg::cli::kReadBackAgrees;
        }
        return done(line, fields);
    }

    int text(DisplayText which) {
        std::optional<int> address;
        if (auto refusal = readNumbers({{msg::kLabelOriginalAddress, o_.positional[0], &address}}))
            return refuse(*refusal);
        const QString given = o_.positional[1] == u"-" ? readStandardInput() : o_.positional[1];
        if (const int code = openPort())
            return code;
        CardSession::SentText sent;
        if (const int code = session_.sendText(which, *address, given, &sent))
            return sessionFailure(code);
        return done(sent.caption, {{"address", *address},
                                   {"bytes", sent.textBytes},
                                   {"frameBytes", sent.frameBytes},
                                   {"caption", sent.caption}});
    }

    int provision() {
        int first = 0, last = 0;
        if (const auto refused = checkProvision(&first, &last))
            return *refused;
        if (const int code = openPort())
            return code;
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
        console_.error(msg::cli::provisionSummary(first, address));
        return result;
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
        int code = session_.modify(kAddressBroadcast, choice, &sent);
        CardReply card;
        if (code == kExitDone)
            code = session_.restart(address, &card);
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
            if (const int code =
                    session_.sendText(DisplayText::Initial, address, *o_.initialText, &text))
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
    Run run(options, console);
    return run.exec();
}
