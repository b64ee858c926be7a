// stravik-bench-fleet: one command sent to a fleet of signs, timed, its cost to stravik-cli
// measured and what every sign got checked byte for byte. Two fleets, both served by this
// process's sign servers:
//   - --signs pseudo-terminals (100) behind one Debian ser2net on 127.0.0.1, even signs
//     rfc2217://, odd tcp://, each through a delaying proxy of its own holding half the round
//     trip each way: one sign alone, every sign by one invocation after another, and every
//     sign by one invocation (--ports FILE --jobs N);
//   - --many raw TCP signs (1,000) that hold the round trip themselves: one sign alone, and
//     every sign by one invocation.
// For each round trip, `text 1 TEXT` and then `restart 1`; wall time, median (least..most) of
// --runs runs (--loop-runs for the invocations one after another, whose hundreds take
// minutes); exit codes; stravik-cli's peak memory (wait4's ru_maxrss) and processor time (user
// and system). Exits 3 when a sign got nothing or other bytes than the command's frame, or a
// stravik-cli failed; 1 when nothing could be measured.
//
//   stravik-bench-fleet [--cli PATH] [--signs N] [--many N] [--runs N] [--loop-runs N]
//                       [--rtts MS,MS...] [--output FILE]

#include "bench/clirun.h"
#include "bench/machine.h"
#include "bench/samples.h"
#include "bench/signserver.h"
#include "bench/table.h"
#include "protocol/frame.h"
#include "tests/support/delayproxy.h"
#include "tests/support/ser2netserver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr double kRatioGoal = 1.5;
constexpr double kFleetPeakGoalMiB = 60;
constexpr double kManyPeakGoalMiB = 100;
constexpr double kManyNoDelayGoalMs = 2000;
// Every card 2 here sits beside a card 1 that the commands address.
constexpr int kSecondCardEvery = 4;

struct Options {
    std::string cli;
    int signs = 100;
    int many = 1000;
    int runs = 3;
    int loopRuns = 1;
    std::vector<int> rttsMs{0, 300};
    std::string output;
};

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "stravik-bench-fleet: %s\n", why.c_str());
    std::exit(1);
}

int wholeNumber(const std::string &option, const std::string &text, int low, int high) {
    char *end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || n < low || n > high)
        fail(option + " needs a whole number " + std::to_string(low) + ".." + std::to_string(high) +
             ", not " + text);
    return int(n);
}

Options parse(int argc, char *argv[]) {
    Options o;
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string here(self, n > 0 ? std::size_t(n) : 0);
    o.cli = here.substr(0, here.rfind('/') + 1) + "../cli/stravik-cli";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::printf("usage: stravik-bench-fleet [--cli PATH] [--signs N] [--many N] [--runs N] "
                        "[--loop-runs N] [--rtts MS,MS...] [--output FILE]\n");
            std::exit(0);
        }
        if (i + 1 >= argc)
            fail(a + " needs a value");
        const std::string v = argv[++i];
        if (a == "--cli")
            o.cli = v;
        else if (a == "--signs")
            o.signs = wholeNumber(a, v, 2, 500);
        else if (a == "--many")
            o.many = wholeNumber(a, v, 0, 1000);
        else if (a == "--runs")
            o.runs = wholeNumber(a, v, 1, 100);
        else if (a == "--loop-runs")
            o.loopRuns = wholeNumber(a, v, 0, 100);
        else if (a == "--output")
            o.output = v;
        else if (a == "--rtts") {
            o.rttsMs.clear();
            for (const QString &rtt : QString::fromStdString(v).split(u','))
                o.rttsMs.push_back(wholeNumber(a, rtt.toStdString(), 0, 60000));
        } else
            fail("unknown option " + a);
    }
    o.runs = std::max(o.runs, o.loopRuns);
    return o;
}

enum class Part { OneRfc, OneTcp, Loop, All, OneServed, Many };
enum class Command { Text, Restart };

// One command on one set of signs, over the runs.
struct Figure {
    Samples wallMs;
    Samples cpuMs;
    std::map<int, int> exits; // exit code: invocations
    long peakKiB = 0;
    int fewestGot = INT_MAX;
    int expected = 0;
    std::string problem; // the first sign that did not get its frame, or the first failure
    // When the first and the last sign's cards had their frame, after stravik-cli started.
    Samples firstFrameMs, lastFrameMs;

    void add(const CliRun &run) {
        ++exits[run.exitCode];
        peakKiB = std::max(peakKiB, run.peakKiB);
    }
    bool good() const {
        return !exits.empty() && exits.size() == 1 && exits.begin()->first == 0 &&
               fewestGot == expected;
    }
};

QString seconds(double ms) {
    return QString::number(ms / 1000, 'f', 2);
}

QString mib(long kib) {
    return QString::number(double(kib) / 1024, 'f', 1);
}

QString exitCounts(const Figure &f) {
    QStringList parts;
    for (const auto &[code, times] : f.exits)
        parts << QStringLiteral("%1 ×%2").arg(code).arg(times);
    return parts.join(QStringLiteral(", "));
}

// Whether a sign got exactly the frame and did what it says (text: shows it; restart: answered
// once), or, outside the signs addressed, got nothing at all.
std::string checkSign(const SignRecord &r, bool addressed, const QByteArray &frame,
                      const QString &text) {
    static const QString untouched = CardBank::describe(CardBank({1, 2}).cards()[1]);
    if (!addressed)
        return r.frames.empty() ? std::string() : "got a frame meant for another sign";
    if (r.frames.size() != 1 || r.frames[0] != frame)
        return "got " + std::to_string(r.frames.size()) + " frame(s) " +
               (r.frames.empty() ? std::string() : r.frames[0].toHex(' ').toStdString() + " ") +
               "instead of " + frame.toHex(' ').toStdString();
    if (r.ignored != 0)
        return "ignored " + std::to_string(r.ignored) + " frame(s)";
    const CardState &card = r.cards.at(0);
    if (!text.isEmpty() && (!card.showsDisplayText || card.displayText != text))
        return "shows " + CardBank::quoted(card.shownText()).toStdString();
    if (text.isEmpty() && r.answers != 1)
        return "sent " + std::to_string(r.answers) + " restart answers";
    if (r.cards.size() > 1 && CardBank::describe(r.cards[1]) != untouched)
        return "card 2 changed: " + CardBank::describe(r.cards[1]).toStdString();
    return {};
}

// How many of the signs first..first+count-1 got the frame, waiting until all have (the last
// bytes may still be on their way through ser2net or held by a slow link) or the deadline.
int signsThatGot(const SignServer &server, int first, int count, const QByteArray &frame,
                 const QString &text, std::chrono::milliseconds deadline, Figure &f,
                 std::chrono::steady_clock::time_point started) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        const std::vector<SignRecord> records = server.records();
        int got = 0;
        std::string firstProblem;
        for (int i = 0; i < int(records.size()); ++i) {
            const bool addressed = i >= first && i < first + count;
            const std::string why = checkSign(records[std::size_t(i)], addressed, frame, text);
            got += addressed && why.empty() ? 1 : 0;
            if (!why.empty() && firstProblem.empty())
                firstProblem = "sign " + std::to_string(i) + " " + why;
        }
        if (firstProblem.empty() || std::chrono::steady_clock::now() >= until) {
            if (f.problem.empty())
                f.problem = firstProblem;
            const auto since = [&](std::chrono::steady_clock::time_point t) {
                return std::chrono::duration<double, std::milli>(t - started).count();
            };
            if (got < count)
                return got;
            const auto [earliest, latest] =
                std::minmax_element(records.begin() + first, records.begin() + first + count,
                                    [](const SignRecord &a, const SignRecord &b) {
                                        return a.lastFrameAt < b.lastFrameAt;
                                    });
            f.firstFrameMs.add(since(earliest->lastFrameAt));
            f.lastFrameMs.add(since(latest->lastFrameAt));
            return got;
        }
        std::this_thread::sleep_for(5ms);
    }
}

class Bench {
  public:
    explicit Bench(const Options &o) : o_(o) {}
    int run();

  private:
    void setUp();
    void measure(int rttMs, int run);
    // One command by one invocation (or, for Part::Loop, by one invocation for each sign).
    void command(int rttMs, Part part, Command command, const std::string &runTag);
    void printTable(const QString &started, const QString &loadBefore);

    Figure &figure(int rttMs, Part part, Command command) {
        return figures_[{rttMs, int(part), int(command)}];
    }

    const Options &o_;
    QTemporaryDir dir_;
    std::unique_ptr<SignServer> ptySigns_, tcpSigns_;
    std::unique_ptr<Ser2netServer> ser2net_;
    std::vector<std::unique_ptr<DelayProxy>> proxies_;
    std::vector<QString> urls_; // of the pty signs, through their proxies
    std::map<std::tuple<int, int, int>, Figure> figures_;
    std::vector<std::string> notes_;
    long openFiles_ = 0;
};

void Bench::setUp() {
    if (!dir_.isValid())
        fail("no scratch folder");
    if (ser2net().isEmpty())
        fail("Debian's ser2net is not installed (/usr/sbin/ser2net)");
    if (::access(o_.cli.c_str(), X_OK) != 0)
        fail("no stravik-cli at " + o_.cli + " (--cli PATH)");
    // Every sign is one socket in stravik-cli, and here a listener and a client each.
    openFiles_ = raiseOpenFilesLimit();
    const long needed = 2L * o_.many + o_.signs * 4 + 64;
    if (openFiles_ < needed)
        fail("the open-files limit is " + std::to_string(openFiles_) + ", " +
             std::to_string(needed) + " are needed: raise the hard limit (ulimit -Hn)");
    ptySigns_ = std::make_unique<SignServer>(o_.signs, SignServer::Line::Pty, kSecondCardEvery);
    if (!ptySigns_->error().empty())
        fail(ptySigns_->error());
    std::vector<Ser2netServer::Connection> connections;
    for (int i = 0; i < o_.signs; ++i)
        connections.emplace_back(i % 2 == 0 ? QStringLiteral("telnet(rfc2217),tcp")
                                            : QStringLiteral("tcp"),
                                 i % 2 == 0 ? QStringLiteral("rfc2217") : QStringLiteral("tcp"),
                                 QStringLiteral("9600n81"), ptySigns_->address(i));
    ser2net_ = std::make_unique<Ser2netServer>(connections);
    if (!ser2net_->listening())
        fail("ser2net did not listen on all " + std::to_string(o_.signs) + " ports");
    if (o_.many > 0) {
        tcpSigns_ = std::make_unique<SignServer>(o_.many, SignServer::Line::Tcp, kSecondCardEvery);
        if (!tcpSigns_->error().empty())
            fail(tcpSigns_->error());
        QFile file(dir_.filePath(QStringLiteral("many")));
        if (!file.open(QIODevice::WriteOnly))
            fail("cannot write the ports file");
        for (int i = 0; i < o_.many; ++i)
            file.write(tcpSigns_->address(i).toUtf8() + '\n');
    }
}

void Bench::command(int rttMs, Part part, Command command, const std::string &runTag) {
    const bool pty = part != Part::OneServed && part != Part::Many;
    SignServer &server = pty ? *ptySigns_ : *tcpSigns_;
    const int first = part == Part::OneTcp ? 1 : 0;
    const int count = part == Part::OneRfc || part == Part::OneTcp || part == Part::OneServed
                          ? 1
                          : server.count();
    const QString text = QStringLiteral("欢迎 %1").arg(QString::fromStdString(runTag));
    const QByteArray frame = toByteArray(
        command == Command::Text ? BuildDisplayTextFrame(1, kLetterDisplayText, text).frame
                                 : BuildRestartFrame(1));
    std::vector<std::string> what = command == Command::Text
                                        ? std::vector<std::string>{"text", "1", text.toStdString()}
                                        : std::vector<std::string>{"restart", "1"};
    const auto invocation = [&](std::vector<std::string> lines) {
        lines.insert(lines.begin(), o_.cli);
        lines.insert(lines.end(), what.begin(), what.end());
        return lines;
    };
    const std::string errFile = dir_.filePath(QStringLiteral("cli.err")).toStdString();

    Figure &f = figure(rttMs, part, command);
    f.expected = count;
    server.clearRecords();
    double wallMs = 0, cpuMs = 0;
    const auto started = std::chrono::steady_clock::now();
    const auto take = [&](const CliRun &run) {
        f.add(run);
        wallMs += run.wallMs;
        cpuMs += run.cpuMs;
        if ((run.exitCode != 0 || run.timedOut) && f.problem.empty()) {
            QFile err(QString::fromStdString(errFile));
            (void)err.open(QIODevice::ReadOnly);
            f.problem = "stravik-cli exit " + std::to_string(run.exitCode) +
                        (run.timedOut ? " (killed, too slow)" : "") + ": " +
                        err.readLine().trimmed().toStdString();
        }
    };
    if (part == Part::Loop) {
        for (int i = 0; i < count; ++i)
            take(runProgram(invocation({"--port", urls_[std::size_t(i)].toStdString()}), errFile,
                            60s));
    } else if (count == 1) {
        const QString url = pty ? urls_[std::size_t(first)] : server.address(first);
        take(runProgram(invocation({"--port", url.toStdString()}), errFile, 60s));
    } else {
        const QString ports = dir_.filePath(pty ? QStringLiteral("fleet") : QStringLiteral("many"));
        take(runProgram(
            invocation({"--ports", ports.toStdString(), "--jobs", std::to_string(count)}), errFile,
            300s));
    }
    f.wallMs.add(wallMs);
    f.cpuMs.add(cpuMs);
    f.fewestGot =
        std::min(f.fewestGot, signsThatGot(server, first, count, frame,
                                           command == Command::Text ? text : QString(),
                                           3s + std::chrono::milliseconds(rttMs), f, started));
}

void Bench::measure(int rttMs, int run) {
    for (const Command c : {Command::Text, Command::Restart}) {
        const std::string tag = std::to_string(rttMs) + "-" + std::to_string(run) + "-";
        command(rttMs, Part::OneRfc, c, tag + "a");
        command(rttMs, Part::OneTcp, c, tag + "b");
        if (run <= o_.loopRuns)
            command(rttMs, Part::Loop, c, tag + "c");
        command(rttMs, Part::All, c, tag + "d");
        if (tcpSigns_) {
            command(rttMs, Part::OneServed, c, tag + "e");
            command(rttMs, Part::Many, c, tag + "f");
        }
    }
}

int Bench::run() {
    const QString loadBefore = loadAverage();
    const QString started = QDateTime::currentDateTime().toString(Qt::ISODate);
    setUp();
    const auto began = std::chrono::steady_clock::now();
    for (const int rttMs : o_.rttsMs) {
        std::fprintf(stderr, "stravik-bench-fleet: round trip %d ms...\n", rttMs);
        proxies_.clear();
        urls_.clear();
        QFile file(dir_.filePath(QStringLiteral("fleet")));
        if (!file.open(QIODevice::WriteOnly))
            fail("cannot write the ports file");
        for (int i = 0; i < o_.signs; ++i) {
            proxies_.push_back(std::make_unique<DelayProxy>("127.0.0.1", ser2net_->port(i),
                                                            std::chrono::milliseconds(rttMs)));
            if (!proxies_.back()->listening())
                fail("delaying proxy: " + proxies_.back()->error());
            urls_.push_back(QStringLiteral("%1://127.0.0.1:%2")
                                .arg(i % 2 == 0 ? QStringLiteral("rfc2217") : QStringLiteral("tcp"))
                                .arg(proxies_.back()->port()));
            file.write(urls_.back().toUtf8() + '\n');
        }
        file.close();
        if (tcpSigns_)
            tcpSigns_->setRoundTrip(std::chrono::milliseconds(rttMs));
        for (int run = 1; run <= o_.runs; ++run)
            measure(rttMs, run);
    }
    proxies_.clear();
    const double totalS =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    notes_.push_back(
        QStringLiteral("the whole run took %1 s; the open-files limit was %2; the sign "
                       "servers' threads used %3 s (%4 signs) and %5 s (%6 signs) of "
                       "processor time")
            .arg(totalS, 0, 'f', 0)
            .arg(openFiles_)
            .arg(double(ptySigns_->cpuTime().count()) / 1e6, 0, 'f', 2)
            .arg(o_.signs)
            .arg(tcpSigns_ ? double(tcpSigns_->cpuTime().count()) / 1e6 : 0, 0, 'f', 2)
            .arg(o_.many)
            .toStdString());
    printTable(started, loadBefore);
    bool good = true;
    for (const auto &[key, f] : figures_)
        good = good && f.good();
    return good ? 0 : 3;
}

void Bench::printTable(const QString &started, const QString &loadBefore) {
    Table table({QStringLiteral("RTT"), QStringLiteral("command"), QStringLiteral("signs"),
                 QStringLiteral("wall s"), QStringLiteral("exit"), QStringLiteral("got it"),
                 QStringLiteral("peak MiB"), QStringLiteral("CPU s"), QStringLiteral("× 1 sign"),
                 QStringLiteral("goal")});
    const auto has = [&](int rtt, Part p, Command c) {
        return figures_.count({rtt, int(p), int(c)}) > 0;
    };
    std::vector<std::string> failures;
    for (const int rtt : o_.rttsMs) {
        for (const Command c : {Command::Text, Command::Restart}) {
            const auto row = [&](Part part, const QString &signs) {
                if (!has(rtt, part, c))
                    return;
                const Figure &f = figure(rtt, part, c);
                const QString wall = seconds(f.wallMs.median()) +
                                     (f.wallMs.count() > 1 ? QStringLiteral(" (%1..%2)")
                                                                 .arg(seconds(f.wallMs.min()),
                                                                      seconds(f.wallMs.max()))
                                                           : QString());
                QString ratio = QStringLiteral("-"), goal = QStringLiteral("-");
                const auto met = [](bool yes) {
                    return yes ? QStringLiteral("met") : QStringLiteral("MISSED");
                };
                const double peakMiB = double(f.peakKiB) / 1024;
                if (part == Part::All || part == Part::Many) {
                    double one = 0;
                    for (const Part p : part == Part::All ? std::vector{Part::OneRfc, Part::OneTcp}
                                                          : std::vector{Part::OneServed})
                        if (has(rtt, p, c))
                            one = std::max(one, figure(rtt, p, c).wallMs.median());
                    const double r = one > 0 ? f.wallMs.median() / one : 0;
                    ratio = QString::number(r, 'f', 2);
                    if (part == Part::All)
                        goal = QStringLiteral("≤ %1×, ≤ %2 MiB: %3")
                                   .arg(kRatioGoal)
                                   .arg(kFleetPeakGoalMiB)
                                   .arg(met(r <= kRatioGoal && peakMiB <= kFleetPeakGoalMiB));
                    else if (rtt == 0)
                        goal = QStringLiteral("≤ %1 s, ≤ %2 MiB: %3")
                                   .arg(kManyNoDelayGoalMs / 1000)
                                   .arg(kManyPeakGoalMiB)
                                   .arg(met(f.wallMs.median() <= kManyNoDelayGoalMs &&
                                            peakMiB <= kManyPeakGoalMiB));
                    else
                        goal = QStringLiteral("≤ %1×, ≤ %2 MiB: %3")
                                   .arg(kRatioGoal)
                                   .arg(kManyPeakGoalMiB)
                                   .arg(met(r <= kRatioGoal && peakMiB <= kManyPeakGoalMiB));
                }
                table.addRow(
                    {QStringLiteral("%1 ms").arg(rtt),
                     c == Command::Text ? QStringLiteral("text 1") : QStringLiteral("restart 1"),
                     signs, wall, exitCounts(f),
                     QStringLiteral("%1/%2").arg(f.fewestGot).arg(f.expected), mib(f.peakKiB),
                     seconds(f.cpuMs.median()), ratio, goal});
                if (!f.good())
                    failures.push_back(std::to_string(rtt) + " ms, " + signs.toStdString() + ", " +
                                       (c == Command::Text ? "text" : "restart") + ": " +
                                       f.problem);
            };
            row(Part::OneRfc, QStringLiteral("1, rfc2217:// via ser2net"));
            row(Part::OneTcp, QStringLiteral("1, tcp:// via ser2net"));
            row(Part::Loop, QStringLiteral("%1, one invocation each").arg(o_.signs));
            row(Part::All, QStringLiteral("%1, one invocation").arg(o_.signs));
            row(Part::OneServed, QStringLiteral("1, tcp:// sign server"));
            row(Part::Many, QStringLiteral("%1, one invocation").arg(o_.many));
            if (has(rtt, Part::Many, c)) {
                const Figure &f = figure(rtt, Part::Many, c);
                notes_.push_back(QStringLiteral("%1 ms, %2 to %3 signs: the cards had their frame "
                                                "%4 to %5 ms after stravik-cli started (medians; "
                                                "%6 ms of it the link's hold)")
                                     .arg(rtt)
                                     .arg(c == Command::Text ? QStringLiteral("text")
                                                             : QStringLiteral("restart"))
                                     .arg(o_.many)
                                     .arg(f.firstFrameMs.median(), 0, 'f', 0)
                                     .arg(f.lastFrameMs.median(), 0, 'f', 0)
                                     .arg(rtt / 2)
                                     .toStdString());
            }
        }
    }
    QString out = QStringLiteral("stravik-cli on fleets of signs, %1\n").arg(started);
    out += QStringLiteral("Machine: %1, %2 cores, %3; load average %4 before, %5 after\n\n")
               .arg(cpuModel())
               .arg(std::thread::hardware_concurrency())
               .arg(kernel(), loadBefore, loadAverage());
    out += table.render();
    out += QStringLiteral(
               "\nwall s: median (least..most) of %1 runs (%2 for one invocation each, all of "
               "them); exit: codes ×invocations; got it: signs that got exactly the frame (the "
               "fewest of the runs); peak MiB: stravik-cli's largest ru_maxrss; CPU s: its user + "
               "system time, median (summed over the invocations of a loop); × 1 sign: against "
               "the slower single sign of the same kind of line.\n")
               .arg(o_.runs)
               .arg(o_.loopRuns);
    for (const std::string &note : notes_)
        out += QStringLiteral("- %1\n").arg(QString::fromStdString(note));
    for (const std::string &failure : failures)
        out += QStringLiteral("FAILED: %1\n").arg(QString::fromStdString(failure));
    if (!failures.empty())
        out += QStringLiteral("ser2net said:\n%1\n").arg(QString::fromUtf8(ser2net_->log()));
    std::fputs(out.toUtf8().constData(), stdout);
    if (!o_.output.empty()) {
        QFile file(QString::fromStdString(o_.output));
        if (!file.open(QIODevice::WriteOnly) || file.write(out.toUtf8()) < 0)
            std::fprintf(stderr, "stravik-bench-fleet: cannot write %s\n", o_.output.c_str());
    }
}

} // namespace

int main(int argc, char *argv[]) {
    const Options o = parse(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    Bench bench(o);
    return bench.run();
}
