// stravik-bench: the tool's start-up, memory, click-to-wire latency, reply timing and frame
// building, side by side with a minimal Qt window, printed as one table.
//
//   stravik-bench [--tool PATH] [--minimal PATH] [--compare PATH] [--gtkterm PATH]
//                 [--no-gtkterm] [--runs N] [--warmup N] [--clicks N] [--replies N]
//                 [--builds N] [--log FILE] [--parts LIST] [--no-route]
//
// --compare adds another build of the tool to the start-up runs (the build before a change,
// say), --gtkterm names GTKTerm, the serial terminal the tool's memory is held against
// (default /usr/bin/gtkterm where it is installed); both open COM1 on the same pseudo-terminal.
//
// --parts takes a comma-separated choice of startup, xclicks, inprocess and frames (all by
// default).
//
// Run as root under an X server (scripts/bench starts Xvfb): the tool's COM1 is routed to a
// pseudo-terminal in a mount namespace of the bench's own, so it really opens a port and never
// the machine's /dev/ttyS0. --no-route leaves out everything that starts the tool itself.

#include "bench/com1route.h"
#include "bench/framebuild.h"
#include "bench/inprocess.h"
#include "bench/machine.h"
#include "bench/samples.h"
#include "bench/table.h"
#include "bench/xsession.h"
#include "protocol/frame.h"

#include <QApplication>
#include <QDateTime>
#include <QGuiApplication>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The goals the tool is held to.
// First drawing within this many times the minimal window with one Chinese label; peak memory
// at most GTKTerm's.
constexpr double kFirstPaintToLabelGoal = 1.2;
constexpr double kClickGoalMs = 1;
constexpr double kReplyShownGoalMs = 520;
constexpr double kLongestFrameGoalUs = 1000;

// How long a program may take to come up before the run is given up.
constexpr double kStartTimeoutMs = 30000;
// Time the program gets to take a press before the release.
constexpr double kPressSettleMs = 30;

struct Options {
    std::string tool;
    std::string minimal;
    std::string compare; // another build of the tool, or empty
    std::string gtkterm; // GTKTerm, or empty
    int runs = 11;
    int warmup = 1;
    int clicks = 30;
    int replies = 21;
    int builds = 101;
    std::string log = "/dev/null";
    bool route = true;
    bool startup = true;   // start-up runs of the three programs
    bool xclicks = true;   // XTEST clicks on the running tool
    bool inprocess = true; // clicks and replies in the bench's own process
    bool frames = true;    // frame building
};

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "stravik-bench: %s\n", why.c_str());
    std::exit(1);
}

std::string directoryOf(const char *program) {
    char path[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string p = n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string(program);
    const std::size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string(".") : p.substr(0, slash);
}

Options parse(int argc, char *argv[]) {
    Options o;
    const std::string here = directoryOf(argv[0]);
    o.tool = here + "/../app/stravik";
    o.minimal = here + "/minimal-window";
    if (::access("/usr/bin/gtkterm", X_OK) == 0)
        o.gtkterm = "/usr/bin/gtkterm";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                fail(a + " needs a value");
            return argv[++i];
        };
        const auto count = [&](int least) {
            const std::string v = value();
            char *end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < least || n > 100000)
                fail(a + " needs a whole number of at least " + std::to_string(least));
            return static_cast<int>(n);
        };
        if (a == "--tool")
            o.tool = value();
        else if (a == "--minimal")
            o.minimal = value();
        else if (a == "--compare")
            o.compare = value();
        else if (a == "--gtkterm")
            o.gtkterm = value();
        else if (a == "--no-gtkterm")
            o.gtkterm.clear();
        else if (a == "--runs")
            o.runs = count(1);
        else if (a == "--warmup")
            o.warmup = count(0);
        else if (a == "--clicks")
            o.clicks = count(1);
        else if (a == "--replies")
            o.replies = count(1);
        else if (a == "--builds")
            o.builds = count(1);
        else if (a == "--log")
            o.log = value();
        else if (a == "--no-route")
            o.route = false;
        else if (a == "--parts") {
            const std::string list = "," + value() + ",";
            const auto has = [&](const char *part) {
                return list.find(std::string(",") + part + ",") != std::string::npos;
            };
            o.startup = has("startup");
            o.xclicks = has("xclicks");
            o.inprocess = has("inprocess");
            o.frames = has("frames");
            if (!o.startup && !o.xclicks && !o.inprocess && !o.frames)
                fail("--parts names none of startup, xclicks, inprocess, frames");
        } else if (a == "-h" || a == "--help") {
            std::printf("usage: stravik-bench [--tool PATH] [--minimal PATH] [--compare PATH] "
                        "[--gtkterm PATH] [--no-gtkterm] [--runs N] "
                        "[--warmup N] [--clicks N] [--replies N] [--builds N] [--log FILE] "
                        "[--parts startup,xclicks,inprocess,frames] [--no-route]\n");
            std::exit(0);
        } else
            fail("unknown option " + a);
    }
    return o;
}

QString number(double v, int decimals) {
    return std::isnan(v) ? QStringLiteral("-") : QString::number(v, 'f', decimals);
}

QString pair(const Samples &s, double p, int decimals) {
    if (s.empty())
        return QStringLiteral("-");
    return number(s.median(), decimals) + QStringLiteral(" / ") + number(s.percentile(p), decimals);
}

QString met(bool yes) {
    return yes ? QStringLiteral("met") : QStringLiteral("MISSED");
}

QString unknown() {
    return QStringLiteral("not measured");
}

// One program's start-up runs.
struct StartUps {
    Samples mappedMs;
    Samples paintedMs;
    Samples mappedCpuMs;
    Samples paintedCpuMs;
    Samples peakMiB;
    Samples anonMiB;
    Samples fileMiB;
    int portOpened = 0;
    // The tool's own account of its start-up phases (STRAVIK_STARTUP_PHASES): processor and
    // wall-clock time of each, in the order the phases ended.
    std::vector<std::pair<std::string, std::pair<Samples, Samples>>> phases;

    void addPhases(const std::string &file) {
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line)) {
            const std::size_t tab = line.find('\t');
            const std::size_t tab2 = line.find('\t', tab + 1);
            if (tab == std::string::npos || tab2 == std::string::npos)
                continue;
            const std::string name = line.substr(0, tab);
            auto it = std::find_if(phases.begin(), phases.end(),
                                   [&](const auto &p) { return p.first == name; });
            if (it == phases.end())
                it = phases.insert(phases.end(), {name, {}});
            it->second.first.add(std::strtod(line.c_str() + tab + 1, nullptr));
            const std::string wall = line.substr(tab2 + 1);
            if (wall != "-")
                it->second.second.add(std::strtod(wall.c_str(), nullptr));
        }
    }
};

// Click-to-first-byte from outside: an XTEST click on the running tool, the first byte polled
// on the master of its COM1.
struct OutsideClicks {
    Samples restart;
    Samples displayText;
};

std::optional<double> outsideClick(XSession &x, const Com1Route &route, int px, int py,
                                   const QByteArray &frame, std::string &problem) {
    route.drain();
    x.press(px, py, kPressSettleMs);
    const BenchClock::time_point released = BenchClock::now();
    x.release();
    pollfd p{route.masterFd(), POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) {
        problem =
            "a click at (" + std::to_string(px) + ", " + std::to_string(py) + ") sent nothing";
        return std::nullopt;
    }
    const BenchClock::time_point firstByte = BenchClock::now();
    QByteArray got;
    const auto deadline = firstByte + std::chrono::seconds(2);
    while (got.size() < frame.size() && BenchClock::now() < deadline) {
        char buf[4096];
        const ssize_t n = ::read(route.masterFd(), buf, sizeof buf);
        if (n > 0)
            got.append(buf, n);
        else
            ::poll(&p, 1, 10);
    }
    if (got != frame) {
        problem = "a click sent " + got.toHex(' ').toStdString() + " instead of " +
                  frame.toHex(' ').toStdString();
        return std::nullopt;
    }
    x.idle(20);
    return millisecondsBetween(released, firstByte);
}

// Every figure the bench gathers.
struct Results {
    InProcessResults inProcess;
    FrameBuildResults builds;
    StartUps minimal;
    StartUps labelled;
    StartUps tool;
    StartUps compared;
    StartUps gtkterm;
    OutsideClicks outside;
    std::vector<std::string> problems;
};

// The in-process clicks and replies, and frame building: no program started.
void measureInProcessParts(const Options &o, Results &r) {
    if (o.inprocess || o.xclicks) {
        std::fprintf(stderr, "stravik-bench: clicks and replies in-process...\n");
        r.inProcess = measureInProcess(o.inprocess ? o.clicks : 0, o.inprocess ? o.replies : 0);
        if (!r.inProcess.problem.isEmpty())
            r.problems.push_back("in-process: " + r.inProcess.problem.toStdString());
    }
    if (o.frames) {
        std::fprintf(stderr, "stravik-bench: frame building...\n");
        r.builds = measureFrameBuilding(o.builds);
        if (!r.builds.problem.isEmpty())
            r.problems.push_back("frame building: " + r.builds.problem.toStdString());
    }
}

// The start-up runs of every program, taking turns. scratch holds the tools' phases and
// GTKTerm's home (it keeps its settings there).
void measureStartUps(const Options &o, XSession &x, const Com1Route &route,
                     const std::string &scratch, Results &r) {
    const std::string phasesFile = scratch + "/phases";
    struct Program {
        std::vector<std::string> argv;
        StartUps *into;
        bool usesCom1;  // started only while COM1 is the pseudo-terminal
        bool countOpen; // whether its COM1 opened is counted
        std::vector<std::string> env;
    };
    std::vector<Program> programs{{{o.minimal}, &r.minimal, false, false, {}},
                                  {{o.minimal, "--chinese-label"}, &r.labelled, false, false, {}}};
    if (o.route) {
        const std::string phases = "STRAVIK_STARTUP_PHASES=" + phasesFile;
        programs.push_back({{o.tool}, &r.tool, true, true, {phases}});
        if (!o.compare.empty())
            programs.push_back({{o.compare}, &r.compared, true, true, {phases}});
        // GTKTerm on COM1 at the tool's speed, with settings of its own and, like the Qt
        // programs, no accessibility bridge.
        if (!o.gtkterm.empty())
            programs.push_back({{o.gtkterm, "--port", "/dev/ttyS0", "--speed", "9600"},
                                &r.gtkterm,
                                true,
                                false,
                                {"HOME=" + scratch, "NO_AT_BRIDGE=1"}});
    }
    const auto runOnce = [&](const Program &program, bool measured) {
        if (program.usesCom1 && !route.holds()) {
            r.problems.push_back("/dev/ttyS0 is not the pseudo-terminal: " + program.argv[0] +
                                 " was not started");
            return false;
        }
        std::string why;
        std::optional<StartedProgram> p =
            x.start(program.argv, o.log, kStartTimeoutMs, why, program.env);
        if (!p) {
            r.problems.push_back(why);
            return false;
        }
        const bool portOpen = program.countOpen && route.openedBy(p->pid);
        x.stop(*p);
        if (program.usesCom1)
            route.removeStaleLock();
        if (measured) {
            StartUps &into = *program.into;
            into.mappedMs.add(p->mappedMs);
            into.paintedMs.add(p->paintedMs);
            into.mappedCpuMs.add(p->mappedCpuMs);
            into.paintedCpuMs.add(p->paintedCpuMs);
            into.peakMiB.add(p->peakKiB / 1024.0);
            into.anonMiB.add(p->anonKiB / 1024.0);
            into.fileMiB.add(p->fileKiB / 1024.0);
            into.portOpened += portOpen ? 1 : 0;
            into.addPhases(phasesFile);
        }
        std::remove(phasesFile.c_str());
        return true;
    };

    std::fprintf(stderr, "stravik-bench: start-up runs...\n");
    // The programs take turns, each round starting with the next one, so that a change of the
    // machine's load falls on all of them alike.
    bool failed = false;
    for (int i = 0; !failed && i < o.warmup + o.runs; ++i) {
        for (std::size_t k = 0; k < programs.size() && !failed; ++k)
            failed = !runOnce(programs[(i + k) % programs.size()], i >= o.warmup);
    }
}

// XTEST clicks on the running tool, at the buttons the in-process window showed.
void measureOutsideClicks(const Options &o, XSession &x, const Com1Route &route, Results &r) {
    std::fprintf(stderr, "stravik-bench: clicks on the running tool...\n");
    std::string error;
    std::optional<StartedProgram> p = x.start({o.tool}, o.log, kStartTimeoutMs, error);
    if (!p) {
        r.problems.push_back(error);
        return;
    }
    const InProcessResults &in = r.inProcess;
    std::string why;
    for (int i = 0; i < o.clicks && why.empty(); ++i) {
        if (const auto ms = outsideClick(x, route, p->x + in.restartButton.x(),
                                         p->y + in.restartButton.y(), in.restartFrame, why))
            r.outside.restart.add(*ms);
        if (!why.empty())
            break;
        if (const auto ms = outsideClick(x, route, p->x + in.displayTextButton.x(),
                                         p->y + in.displayTextButton.y(), in.displayTextFrame, why))
            r.outside.displayText.add(*ms);
    }
    if (!why.empty())
        r.problems.push_back("clicks on the running tool: " + why);
    x.stop(*p);
    route.removeStaleLock();
}

// The start-up table: one column for each program.
Table startUpTable(const Options &o, const Results &r) {
    const QString none = QStringLiteral("-");
    const StartUps &tool = r.tool;
    std::vector<std::pair<QString, const StartUps *>> columns{{QStringLiteral("Stravik"), &tool}};
    if (!o.compare.empty() && o.route)
        columns.push_back({QStringLiteral("Compared build"), &r.compared});
    columns.push_back({QStringLiteral("Minimal + Chinese label"), &r.labelled});
    if (!o.gtkterm.empty() && o.route)
        columns.push_back({QStringLiteral("GTKTerm"), &r.gtkterm});
    columns.push_back({QStringLiteral("Minimal Qt window"), &r.minimal});
    QStringList header{QStringLiteral("Start-up, median of %1").arg(o.runs)};
    for (const auto &[name, runsOf] : columns)
        header << name;
    header << QStringLiteral("Goal") << QStringLiteral("Result");
    Table table(header);
    const auto row = [&](const QString &what, Samples StartUps::*figure, int decimals,
                         const QString &goal, const QString &result) {
        QStringList cells{what};
        for (const auto &[name, runsOf] : columns)
            cells << number((runsOf->*figure).median(), decimals);
        table.addRow(cells << goal << result);
    };
    {
        const double ratio = tool.paintedMs.median() / r.labelled.paintedMs.median();
        row(QStringLiteral("First drawing (ms)"), &StartUps::paintedMs, 1,
            QStringLiteral("<= %1x the label window").arg(kFirstPaintToLabelGoal),
            tool.paintedMs.empty() || r.labelled.paintedMs.empty()
                ? unknown()
                : met(ratio <= kFirstPaintToLabelGoal) +
                      QStringLiteral(", %1x").arg(number(ratio, 2)));
    }
    row(QStringLiteral("Window mapped (ms)"), &StartUps::mappedMs, 1, none, none);
    row(QStringLiteral("Processor time until first drawing (ms)"), &StartUps::paintedCpuMs, 1, none,
        none);
    row(QStringLiteral("Processor time until mapped (ms)"), &StartUps::mappedCpuMs, 1, none, none);
    {
        const double extra = tool.peakMiB.median() - r.gtkterm.peakMiB.median();
        row(QStringLiteral("Peak resident memory, VmHWM once drawn (MiB)"), &StartUps::peakMiB, 1,
            QStringLiteral("<= GTKTerm's"),
            tool.peakMiB.empty() || r.gtkterm.peakMiB.empty()
                ? unknown()
                : met(extra <= 0) +
                      QStringLiteral(", %1%2 MiB")
                          .arg(extra >= 0 ? QStringLiteral("+") : QString(), number(extra, 1)));
    }
    row(QStringLiteral("Of it then: own memory, RssAnon (MiB)"), &StartUps::anonMiB, 1, none, none);
    row(QStringLiteral("Of it then: mapped files, RssFile (MiB)"), &StartUps::fileMiB, 1, none,
        none);
    QStringList cells{QStringLiteral("COM1 (pty) open in the runs")};
    bool all = !tool.mappedMs.empty();
    for (const auto &[name, runsOf] : columns) {
        const bool counted = runsOf == &tool || runsOf == &r.compared;
        cells << (!counted ? none
                           : QStringLiteral("%1 of %2")
                                 .arg(runsOf->portOpened)
                                 .arg(runsOf->mappedMs.count()));
        if (counted)
            all = all && runsOf->portOpened == static_cast<int>(runsOf->mappedMs.count());
    }
    table.addRow(cells << QStringLiteral("every run")
                       << (tool.mappedMs.empty() ? unknown() : met(all)));
    return table;
}

// The tool's start-up phases, as it times them itself.
Table phaseTable(const Options &o, const Results &r) {
    const bool withCompare = !o.compare.empty() && o.route;
    QStringList header{
        QStringLiteral("Start-up phase: processor / wall-clock time, medians of %1 (ms)")
            .arg(o.runs),
        QStringLiteral("Stravik")};
    if (withCompare)
        header << QStringLiteral("Compared build");
    Table table(header);
    std::vector<std::string> names;
    for (const StartUps *of : {&r.tool, &r.compared})
        for (const auto &[name, times] : of->phases)
            if (std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
    for (const std::string &name : names) {
        QStringList cells{QString::fromStdString(name)};
        for (const StartUps *of : {&r.tool, &r.compared}) {
            if (of == &r.compared && !withCompare)
                continue;
            const auto it = std::find_if(of->phases.begin(), of->phases.end(),
                                         [&](const auto &p) { return p.first == name; });
            cells << (it == of->phases.end()
                          ? QStringLiteral("-")
                          : number(it->second.first.median(), 2) + QStringLiteral(" / ") +
                                number(it->second.second.median(), 2));
        }
        table.addRow(cells);
    }
    return table;
}

// The other figures of the tool: clicks, the reply, frame building.
Table figureTable(const Options &o, const Results &r) {
    const QString none = QStringLiteral("-");
    Table t({QStringLiteral("Figure"), QStringLiteral("Stravik"), QStringLiteral("Goal"),
             QStringLiteral("Result")});
    const auto clickRow = [&](const QString &what, const Samples &s) {
        t.addRow({what, pair(s, 90, 3), QStringLiteral("median <= %1 ms").arg(kClickGoalMs),
                  s.empty() ? unknown() : met(s.median() <= kClickGoalMs)});
    };
    const QString clicks = QString::number(o.clicks);
    clickRow(QStringLiteral("Click to first byte, restart, X click (XTEST) on the running tool: "
                            "median / p90 of %1 (ms)")
                 .arg(clicks),
             r.outside.restart);
    clickRow(QStringLiteral("Click to first byte, display text, X click (XTEST) on the running "
                            "tool: median / p90 of %1 (ms)")
                 .arg(clicks),
             r.outside.displayText);
    clickRow(QStringLiteral("Click to first byte, restart, in-process QTest release: "
                            "median / p90 of %1 (ms)")
                 .arg(clicks),
             r.inProcess.restartClick);
    clickRow(QStringLiteral("Click to first byte, display text, in-process QTest release: "
                            "median / p90 of %1 (ms)")
                 .arg(clicks),
             r.inProcess.displayTextClick);

    const Samples &reply = r.inProcess.replyShown;
    t.addRow({QStringLiteral("Restart frame to lists changed (reply written at once, timer %1 ms): "
                             "min / median / max of %2 (ms)")
                  .arg(r.inProcess.replyTimerMs)
                  .arg(o.replies),
              reply.empty() ? none
                            : QStringLiteral("%1 / %2 / %3")
                                  .arg(number(reply.min(), 1), number(reply.median(), 1),
                                       number(reply.max(), 1)),
              QStringLiteral("every one <= %1 ms").arg(kReplyShownGoalMs),
              reply.empty() ? unknown() : met(reply.max() <= kReplyShownGoalMs)});

    const QString repetitions = QString::number(o.builds);
    const auto buildRow = [&](const QString &what, const Samples &s) {
        t.addRow({what, number(s.median(), 1), QStringLiteral("< %1 us").arg(kLongestFrameGoalUs),
                  s.empty() ? unknown() : met(s.median() < kLongestFrameGoalUs)});
    };
    buildRow(QStringLiteral("Build the longest frame (%1 bytes), Chinese text: median of %2 (us)")
                 .arg(kMaxFrameLength)
                 .arg(repetitions),
             r.builds.longestChinese);
    buildRow(QStringLiteral("Build the longest frame (%1 bytes), ASCII text: median of %2 (us)")
                 .arg(kMaxFrameLength)
                 .arg(repetitions),
             r.builds.longestAscii);
    t.addRow({QStringLiteral("Build 100 typical texts (2-50 characters): median of %1, all 100 / "
                             "per text (us)")
                  .arg(repetitions),
              r.builds.typicalHundred.empty()
                  ? none
                  : number(r.builds.typicalHundred.median(), 1) + QStringLiteral(" / ") +
                        number(r.builds.typicalHundred.median() / 100, 2),
              none, none});
    return t;
}

// Prints the tables with their notes, and the problems met.
void printReport(const Options &o, const Results &r, const QString &started,
                 const QString &loadBefore) {
    std::printf("Stravik benchmarks, %s\n", qPrintable(started));
    std::printf("Machine: %s, %u cores, %s; Qt %s (%s platform on the bench's X server); load "
                "average %s before, %s after\n\n",
                qPrintable(cpuModel()), std::thread::hardware_concurrency(), qPrintable(kernel()),
                qVersion(), qPrintable(QGuiApplication::platformName()), qPrintable(loadBefore),
                qPrintable(loadAverage()));
    std::printf("%s\n", qPrintable(startUpTable(o, r).render()));
    std::printf(
        "Start-up runs after %d warm-up round(s), the programs taking turns; start-up is timed "
        "from the bench starting the process to the X server reporting its window mapped "
        "(MapNotify), and to the first drawing into it (DAMAGE). GTKTerm and the tool open COM1 "
        "on the same pseudo-terminal.\n",
        o.warmup);
    const auto spread = [](const char *name, const StartUps &s) {
        if (s.mappedMs.empty())
            return;
        const auto range = [](const Samples &v) {
            return number(v.min(), 1) + QStringLiteral("..") + number(v.max(), 1);
        };
        std::printf("  %-8s mapped %s ms, drawn %s ms, processor time until drawn %s ms (median); "
                    "VmHWM %s MiB, resident then %s MiB own (RssAnon) + %s MiB mapped files "
                    "(RssFile, medians)\n",
                    name, qPrintable(range(s.mappedMs)), qPrintable(range(s.paintedMs)),
                    qPrintable(number(s.paintedCpuMs.median(), 1)), qPrintable(range(s.peakMiB)),
                    qPrintable(number(s.anonMiB.median(), 1)),
                    qPrintable(number(s.fileMiB.median(), 1)));
    };
    spread("stravik", r.tool);
    spread("compared", r.compared);
    spread("label", r.labelled);
    spread("gtkterm", r.gtkterm);
    spread("minimal", r.minimal);
    if (!r.tool.phases.empty())
        std::printf("\n%s\nEach phase as the tool times it (STRAVIK_STARTUP_PHASES): processor "
                    "time of all its threads and wall-clock time from the end of the phase "
                    "before; \"controls: kind\" lines split the building of the controls.\n",
                    qPrintable(phaseTable(o, r).render()));
    std::printf("\n%s\n", qPrintable(figureTable(o, r).render()));
    std::printf("X clicks: XTEST press, %.0f ms for the tool to take it, then the release; timed "
                "from sending the release to the first byte readable on the pty master of COM1.\n"
                "In-process clicks: QTest::mousePress on the button of a window in the bench's "
                "own process (COM1 on a pty), %.0f ms, then QTest::mouseRelease, timed from the "
                "release to the first byte readable on the master.\n",
                kPressSettleMs, kPressSettleMs);
    if (!r.problems.empty()) {
        std::printf("\nProblems:\n");
        for (const std::string &p : r.problems)
            std::printf("  %s\n", p.c_str());
    }
}

} // namespace

int main(int argc, char *argv[]) {
    const Options o = parse(argc, argv);

    // Before any thread starts: the bench runs itself again under the route (see Com1Route).
    Com1Route route;
    if (o.route) {
        const std::string error = route.enter(argv);
        if (!error.empty())
            fail(error + " (or pass --no-route to leave out the runs of the tool)");
    }
    if (!std::getenv("DISPLAY"))
        fail("no X server: set DISPLAY (scripts/bench starts Xvfb)");

    QApplication app(argc, argv);
    const QString loadBefore = loadAverage();
    const QString started = QDateTime::currentDateTime().toString(Qt::ISODate);
    Results results;
    measureInProcessParts(o, results);

    std::string error;
    std::unique_ptr<XSession> x = XSession::connect(error);
    if (!x)
        fail(error);
    char scratchTemplate[] = "/tmp/stravik-bench-XXXXXX";
    const std::string scratch = ::mkdtemp(scratchTemplate) ? scratchTemplate : "";
    if (scratch.empty())
        fail("cannot make a scratch folder in /tmp");
    if (o.startup)
        measureStartUps(o, *x, route, scratch, results);
    if (o.xclicks && o.route && route.holds() && results.inProcess.problem.isEmpty())
        measureOutsideClicks(o, *x, route, results);

    printReport(o, results, started, loadBefore);
    std::filesystem::remove_all(scratch);
    return results.problems.empty() ? 0 : 1;
}
