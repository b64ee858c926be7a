#include "cli/apply.h"
#include "cli/lines.h"
#include "cli/ports.h"
#include "cli/provision.h"
#include "cli/scan.h"
#include "serial/openfiles.h"
#include "texts/commandline.h"
#include "texts/messages.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <map>

namespace {

// What each command was given. The lines, the wait and the settings are read into lines for
// every command (one unnamed COM1 when no line is named), and handed on from there.
struct Options {
    QString command;
    bool help = false;
    bool json = false;
    LinesOptions lines;
    ProvisionOptions provision;
    ScanOptions scan;
    ApplyOptions apply;
};

// Every option of every command, by kind; which command takes which is checked after parsing.
struct OptionSet {
    QCommandLineOption help{{"h", "help"}}, json{"json"}, yes{"yes"}, verify{"verify"},
        dryRun{"dry-run"};
    QCommandLineOption port{"port", {}, "port"}, ports{"ports", {}, "file"}, jobs{"jobs", {}, "n"};
    QCommandLineOption wait{"wait", {}, "ms"}, count{"count", {}, "m"},
        firstAddress{"first-address", {}, "n"}, initialText{"initial-text", {}, "text"};
    QCommandLineOption newAddress{"new-address", {}, "n"}, rows{"rows", {}, "r"},
        chars{"chars", {}, "c"}, data{"data", {}, "polarity"}, oe{"oe", {}, "polarity"},
        scan{"scan", {}, "mode"};
    QCommandLineOption from{"from", {}, "a"}, to{"to", {}, "b"}, plan{"plan", {}, "file"};
};

// The options each command takes besides --json and --help, how many positional arguments, and
// the options of which it needs one at least, with the error without any.
struct CommandShape {
    int positional;
    QStringList options;
    QStringList needsOneOf = {};
    QString withoutIt = {};
};
const std::map<QString, CommandShape> &commands() {
    const QStringList lines{"port", "ports", "jobs"};
    const QStringList settings{"rows", "chars", "data", "oe", "scan"};
    static const std::map<QString, CommandShape> all{
        {"ports", {0, {}}},
        {"restart", {1, lines + QStringList{"wait", "plan"}}},
        {"set",
         {1, lines + settings + QStringList{"new-address", "wait", "verify", "yes"},
          settings + QStringList{"new-address"}, msg::cli::kSetNeedsSetting}},
        {"initial-text", {2, lines}},
        {"text", {2, lines}},
        {"apply", {1, {"jobs", "wait", "dry-run"}}},
        {"provision",
         {0,
          settings + QStringList{"port", "wait", "first-address", "count", "initial-text"},
          {"first-address"},
          msg::cli::kNeedsFirstAddress}},
        {"scan", {0, {"port", "wait", "yes", "from", "to", "plan"}}},
    };
    return all;
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
        if (option != u"json" && option != u"help" && !shape->second.options.contains(option))
            throw UsageError{msg::cli::optionNotTaken(*command, option)};
    }
    if (positional.size() != shape->second.positional)
        throw UsageError{
            msg::cli::argumentCount(*command, shape->second.positional, positional.size())};
    return positional;
}

// A whole number low..high, or the usage error given.
int number(const QCommandLineParser &parser, const QCommandLineOption &option, int low, int high,
           const QString &error) {
    const auto n = wholeNumber(parser.value(option), low, high);
    if (!n)
        throw UsageError{error};
    return *n;
}

// The lines: every --port, then the ports file's, each once.
void readLines(const QCommandLineParser &parser, const OptionSet &o, Options *options) {
    LinesOptions &lines = options->lines;
    QStringList names = parser.values(o.port);
    if (parser.isSet(o.ports))
        names += readPortsFile(parser.value(o.ports));
    if (parser.isSet(o.jobs))
        lines.jobs = number(parser, o.jobs, 1, 1000, msg::cli::kBadJobs);
    if (names.isEmpty())
        return;
    if ((options->command == u"provision" || options->command == u"scan") && names.size() > 1)
        throw UsageError{msg::cli::oneLineOnly(options->command)};
    lines.ports.clear();
    lines.portNames.clear();
    for (const QString &name : names) {
        if (lines.portNames.contains(name))
            throw UsageError{msg::cli::portTwice(name)};
        lines.ports.push_back(portChoice(name));
        lines.portNames.append(name);
    }
    lines.manyLines = names.size() > 1 || parser.isSet(o.ports);
}

// The options' values; a value out of its range or of the wrong word is a usage error. The
// settings' numbers are kept as typed, to be refused later with the window's texts.
void readValues(const QCommandLineParser &parser, const OptionSet &o, Options *options) {
    LinesOptions &lines = options->lines;
    options->json = parser.isSet(o.json);
    lines.yes = parser.isSet(o.yes);
    lines.verify = parser.isSet(o.verify);
    readLines(parser, o, options);
    if (parser.isSet(o.wait))
        lines.wait = std::chrono::milliseconds(
            number(parser, o.wait, int(kReplyDelay.count()), 60000, msg::cli::kBadWait));
    ProvisionOptions &provision = options->provision;
    if (parser.isSet(o.count))
        provision.count = number(parser, o.count, 1, 256, msg::cli::kBadCount);
    if (parser.isSet(o.initialText))
        provision.initialText = parser.value(o.initialText);
    TypedSettings &typed = lines.settings;
    typed.newAddress = parser.value(o.newAddress);
    typed.rows = parser.value(o.rows);
    typed.chars = parser.value(o.chars);
    SettingsChoice &s = typed.words;
    if (parser.isSet(o.data))
        s.dataForward = polarity(QStringLiteral("--data"), parser.value(o.data));
    if (parser.isSet(o.oe))
        s.oeForward = polarity(QStringLiteral("--oe"), parser.value(o.oe));
    if (parser.isSet(o.scan))
        s.fullScreen = fullScreen(parser.value(o.scan));
    ScanOptions &scan = options->scan;
    scan.yes = lines.yes;
    if (parser.isSet(o.from))
        scan.from = number(parser, o.from, 1, 255, msg::cli::kBadScanRange);
    if (parser.isSet(o.to))
        scan.to = number(parser, o.to, 1, 255, msg::cli::kBadScanRange);
    if (scan.from > scan.to)
        throw UsageError{msg::cli::kScanRangeReversed};
    scan.port = lines.portNames[0].isEmpty() ? QStringLiteral("COM%1").arg(lines.ports[0].number)
                                             : lines.portNames[0];
    scan.plan = lines.plan = parser.value(o.plan);
    provision.port = lines.ports[0];
    provision.wait = lines.wait;
    provision.settings = typed;
    provision.settings.newAddress = parser.value(o.firstAddress);
    options->apply.dryRun = parser.isSet(o.dryRun);
    options->apply.jobs = lines.jobs;
    options->apply.wait = lines.wait;
}

Options parse(const QStringList &arguments) {
    OptionSet o;
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    for (const QCommandLineOption *option :
         {&o.help,  &o.json, &o.yes,   &o.verify,       &o.dryRun,      &o.port,       &o.ports,
          &o.jobs,  &o.wait, &o.count, &o.firstAddress, &o.initialText, &o.newAddress, &o.rows,
          &o.chars, &o.data, &o.oe,    &o.scan,         &o.from,        &o.to,         &o.plan})
        parser.addOption(*option);
    if (!parser.parse(arguments))
        throw UsageError{parserError(parser)};

    Options options;
    options.help = parser.isSet(o.help);
    if (options.help)
        return options;
    const QStringList positional = checkShape(parser, &options.command);
    readValues(parser, o, &options);
    const CommandShape &shape = commands().at(options.command);
    if (!shape.needsOneOf.isEmpty() &&
        std::none_of(shape.needsOneOf.begin(), shape.needsOneOf.end(),
                     [&](const QString &name) { return parser.isSet(name); }))
        throw UsageError{shape.withoutIt};
    options.lines.command = options.command;
    options.lines.address = options.apply.file = positional.value(0);
    options.lines.text = positional.value(1);
    return options;
}

Task<int> runCommand(Options o, Console &console) {
    if (o.command == u"ports")
        co_return listPorts(console);
    if (o.command == u"provision")
        co_return co_await provision(o.provision, console);
    if (o.command == u"apply")
        co_return co_await applyPlan(o.apply, console);
    if (o.command != u"scan")
        co_return co_await runOnLines(o.lines, console);
    CardSession session(o.lines.ports[0]);
    session.setReplyDelay(o.lines.wait);
    co_return co_await runScan(session, console, o.scan);
}

} // namespace

int main(int argc, char *argv[]) {
    // Every line holds a descriptor or two: a run over many lines may need more than a shell's
    // default allows.
    RaiseOpenFilesLimit();
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
    console.setJson(options.json);
    return task::run(runCommand(std::move(options), console));
}
