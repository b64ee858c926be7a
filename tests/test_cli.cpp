#include "protocol/frame.h"
#include "serial/portmap.h"
#include "tests/suites.h"
#include "tests/support/cardprocess.h"
#include "tests/support/pty.h"
#include "texts/commandline.h"
#include "texts/messages.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include <memory>

using namespace std::chrono_literals;

namespace {

QString cliProgram() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../cli/stravik-cli");
}

QByteArray hex(const char *digits) {
    return QByteArray::fromHex(digits);
}

// The line as the program under test finds it: the virtual card, or a pseudo-terminal on
// which nobody answers. Bytes written on the program's side after it ended mark the end of
// what it sent: the line delivers them in order, so whatever came before them is its.
class Line {
  public:
    explicit Line(const QString &cards) {
        if (cards.isEmpty())
            mute_ = std::make_unique<PtyPair>();
        else
            card_ = std::make_unique<CardProcess>(cards);
    }
    bool ready() const { return mute_ ? mute_->isValid() : card_->started(); }
    QString port() const { return mute_ ? mute_->slavePath() : card_->slavePath(); }
    CardProcess *card() { return card_.get(); }

    // Everything the line carried since the last call, and the state of the card it last
    // reported.
    QByteArray carried(QString *lastState = nullptr) {
        const QByteArray marker = hex("bec3581a");
        const int fd = ::open(QFile::encodeName(port()).constData(), O_RDWR | O_NOCTTY);
        const bool written = fd >= 0 && ::write(fd, marker.constData(), 4) == 4;
        if (fd >= 0)
            ::close(fd);
        if (!written)
            return "(the marker could not be written)";
        if (mute_) {
            const QByteArray got = mute_->readUntil(marker);
            return got.endsWith(marker) ? got.chopped(4) : "(no marker) " + got.toHex(' ');
        }
        const QString end = QStringLiteral("BE C3 58 1A  restart card 254");
        if (!card_->waitForLineStarting(end, from_, 10s).startsWith(end))
            return "(no marker) " + card_->transcript().toUtf8();
        static const QRegularExpression frameLine(
            QStringLiteral("^([0-9A-F]{2}(?: [0-9A-F]{2})*)  "));
        QByteArray got;
        const QStringList lines = card_->linesFrom(from_);
        from_ = card_->lineCount();
        for (const QString &l : lines) {
            if (l.startsWith(end))
                break;
            if (const auto m = frameLine.match(l); m.hasMatch())
                got += QByteArray::fromHex(m.captured(1).toLatin1());
            else if (lastState && l.contains(QStringLiteral(": rows ")))
                *lastState = l;
        }
        return got;
    }

  private:
    std::unique_ptr<PtyPair> mute_;
    std::unique_ptr<CardProcess> card_;
    qsizetype from_ = 0;
};

} // namespace

class CliTest : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        for (const QString &program : {cliProgram(), cardProgram()})
            if (!QFileInfo(program).isExecutable())
                QSKIP(qPrintable(program + QStringLiteral(" is not built: build the targets "
                                                          "stravik-cli and virtual-card")));
    }

    // Each command against the virtual card (or a line where nobody answers): the bytes on
    // the line are the window's frames for the same inputs, bad input sends nothing.
    void commands_data() {
        QTest::addColumn<QString>("cards"); // addresses on the virtual card; empty: nobody
        QTest::addColumn<QByteArray>("prepare");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("state");

        const QByteArray none;
        const QString port = QStringLiteral("%port");
        const auto row = [&](const char *name, const QString &cards, const QByteArray &prepare,
                             QStringList args, const QByteArray &input, int code,
                             const QByteArray &wire, const QString &output,
                             const QString &state = QString()) {
            if (args.size() > 1 && !args.contains(QStringLiteral("--port")))
                args << QStringLiteral("--port") << port;
            QTest::newRow(name) << cards << prepare << args << input << code << wire << output
                                << state;
        };
        // A card with settings the window's defaults do not have.
        const QByteArray prepared = hex("81c04100010003000c1100011a");
        const QString longest(32763, u'a');
        // The end of the card's state line while both its texts are empty.
        const QString plain = QStringLiteral(R"( initial "" text "" shows initial)");

        row("restart", "1", none, {"restart", "1"}, none, 0, hex("81c0581a"),
            "原地址 1  行数 1  每行汉字数 4  数据正反向 反向  OE正反向 反向  扫描方式 半屏",
            "card 1: rows 1 chars 4 flags 0x00 scan 0" + plain);
        row("restart --json: the raw reply", "1", prepared, {"restart", "1", "--json"}, none, 0,
            hex("81c0581a"),
            R"("oe":"forward","raw":"00 01 00 03 00 0C 11 00 01","rows":3,"scan":"full")",
            "card 1: rows 3 chars 12 flags 0x11 scan 1" + plain);
        row("restart, nobody answers", "1", none, {"restart", "7", "--wait", "800"}, none, 3,
            hex("87c0581a"), "原地址 7 的控制卡没有应答。");
        row("set, all values", "1", none,
            {"set", "1", "--new-address", "5", "--rows", "2", "--chars", "12", "--data", "forward",
             "--oe", "forward", "--scan", "full"},
            none, 0, hex("81c04100050002000c1100011a"), "新地址 5",
            "card 5: rows 2 chars 12 flags 0x11 scan 1" + plain);
        row("set one value, the rest as read, verified", "1", hex("81c04100010003000c000100011a"),
            {"set", "1", "--oe", "forward", "--verify"}, none, 0,
            hex("81c0581a 81c04100010003000c1100011a 81c0581a"), "读回一致",
            "card 1: rows 3 chars 12 flags 0x11 scan 1" + plain);
        // Both cards now have address 2; the first, unchanged, answers the restart.
        row("set --verify, another card answers there", "2,1", none,
            {"set", "1", "--new-address", "2", "--rows", "3", "--chars", "4", "--data", "reverse",
             "--oe", "reverse", "--scan", "half", "--verify"},
            none, 4, hex("81c041000200030004000000001a 82c0581a"), "行数 发送 3，读回 1",
            "card 2: rows 3 chars 4 flags 0x00 scan 0" + plain);
        row("set, values missing and nobody answers", "1", none, {"set", "9", "--rows", "2"}, none,
            3, hex("89c0581a"), "设置未修改");
        row("set 0 --yes", "1", none,
            {"set", "0", "--yes", "--new-address", "3", "--rows", "2", "--chars", "4", "--data",
             "reverse", "--oe", "reverse", "--scan", "half"},
            none, 0, hex("80c041000300020004000000001a"), "新地址 3",
            "card 3: rows 2 chars 4 flags 0x00 scan 0" + plain);
        row("set 0 without --yes", "1", none, {"set", "0", "--rows", "2"}, "y\n", 5, none,
            msg::kBroadcastQuestion);
        row("rows out of range", "1", none, {"set", "1", "--rows", "300"}, none, 5, none,
            msg::notAByte(msg::kLabelRows));
        row("address out of range", "1", none, {"text", "256", "x"}, none, 5, none,
            msg::notAByte(msg::kLabelOriginalAddress));
        row("unknown scan mode", "1", none, {"set", "1", "--scan", "diagonal"}, none, 1, none,
            "--scan");
        row("absent port", "1", none, {"restart", "1", "--port", "/nonexistent/ttyUSB9", "--json"},
            none, 2, none,
            msg::kOpenFailed + u'\n' + QStringLiteral("/nonexistent/ttyUSB9 不存在"));
        row("scan from the broadcast address", "1", none, {"scan", "--from", "0"}, none, 1, none,
            msg::cli::kBadScanRange);
        row("scan from above its end", "1", none, {"scan", "--from", "9", "--to", "3"}, none, 1,
            none, msg::cli::kScanRangeReversed);
        row("scan without --yes off a terminal", "", none, {"scan", "--to", "2"}, "y\n", 5, none,
            msg::cli::kScanNeedsYes);
        row("text", "1", none, {"text", "1", "你好"}, none, 0, hex("81c0440c040e030b0a0c031a"),
            "发送地址1显示信息(4)",
            R"(card 1: rows 1 chars 4 flags 0x00 scan 0 initial "" text "你好" shows text)");
        row("initial text from standard input, lines as CR LF", "1", none,
            {"initial-text", "1", "-"}, "第一行\n第二行\n", 0,
            hex("81c0530b050d0a0d020b0b0d000d000d0a0b050d0a0b060f0e0d000d001a"),
            "设置地址1初始显示信息(14)",
            R"(card 1: rows 1 chars 4 flags 0x00 scan 0 initial "第一行\r\n第二行" text "" shows initial)");
        row("the longest text, drained whole", "1", none, {"text", "1", longest}, none, 0,
            hex("81c044") + longest.toLatin1() + hex("1a"), "发送地址1显示信息(32763)",
            R"(card 1: rows 1 chars 4 flags 0x00 scan 0 initial "" text ")" + longest +
                R"(" shows text)");
        row("a text too long", "1", none, {"text", "1", longest + u'a'}, none, 5, none,
            msg::kTextTooLong);

        const QByteArray three =
            hex("80c041000a00020008000100011a 8ac0581a 8ac0530b0b0b060d030a0d0b090e020c010d091a "
                "80c041000b00020008000100011a 8bc0581a 8bc0530b0b0b060d030a0d0b090e020c010d091a "
                "80c041000c00020008000100011a 8cc0581a 8cc0530b0b0b060d030a0d0b090e020c010d091a");
        row("provision three cards", "1", none,
            {"provision", "--first-address", "10", "--count", "3", "--rows", "2", "--chars", "8",
             "--data", "forward", "--oe", "reverse", "--scan", "full", "--initial-text",
             "欢迎光临"},
            "\n\n\n\n", 0, three, "第 3 张控制卡：原地址 12",
            R"(card 12: rows 2 chars 8 flags 0x01 scan 1 initial "欢迎光临" text "" shows initial)");
        row("provision to the end of input, the rest as read", "1", prepared,
            {"provision", "--first-address", "20", "--rows", "4"}, "\n\n", 0,
            hex("80c0581a 80c041140004000c1100011a 94c0581a 80c0581a 80c041150004000c1100011a "
                "95c0581a"),
            "第 2 张控制卡：原地址 21", "card 21: rows 4 chars 12 flags 0x11 scan 1" + plain);
        const QByteArray unanswered = hex("80c041000500010004000000001a 85c0581a");
        row("provision, nobody answers: retried, skipped, not counted", "", none,
            {"provision", "--first-address", "5", "--count", "2", "--rows", "1", "--chars", "4",
             "--data", "reverse", "--oe", "reverse", "--scan", "half"},
            "\nr\ns\n", 3, unanswered + unanswered, "第 1 张控制卡已跳过，不计入。");
    }
    void commands() {
        QFETCH(QString, cards);
        QFETCH(QByteArray, prepare);
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, wire);
        QFETCH(QString, output);
        QFETCH(QString, state);

        Line line(cards);
        QVERIFY2(line.ready(), "no line: the virtual card named no pseudo-terminal");
        if (!prepare.isEmpty()) {
            const int fd = ::open(QFile::encodeName(line.port()).constData(), O_RDWR | O_NOCTTY);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, prepare.constData(), std::size_t(prepare.size())),
                     ssize_t(prepare.size()));
            ::close(fd);
            QCOMPARE(line.carried(), prepare);
        }

        args.replaceInStrings(QStringLiteral("%port"), line.port());
        QProcess cli;
        cli.start(cliProgram(), args);
        QVERIFY(cli.waitForStarted());
        cli.write(input);
        cli.closeWriteChannel();
        QVERIFY2(waitFor([&] { return cli.state() == QProcess::NotRunning; }, 60s),
                 "stravik-cli did not end");
        const QString said = QString::fromUtf8(cli.readAllStandardOutput()) +
                             QString::fromUtf8(cli.readAllStandardError());
        QVERIFY2(said.contains(output), qPrintable(said));
        QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
        QCOMPARE(cli.exitCode(), exitCode);

        QString lastState;
        const QByteArray carried = line.carried(&lastState);
        QCOMPARE(carried.toHex(' '), wire.toHex(' '));
        // The card's state after the command; none where no frame reached a card.
        if (!cards.isEmpty())
            QCOMPARE(lastState, state);
    }

    // scan restarts each address of its range once and lists on standard output exactly the
    // cards that answered; an answered address moves on at once (ten cards: far below 10 × 0.5 s).
    void scan_data() {
        QTest::addColumn<QString>("cards");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QStringList>("more");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("lines"); // standard output, each line begins so
        QTest::addColumn<int>("withinMs");
        const QString card = QStringLiteral("原地址 %1  行数 1  每行汉字数 4");
        QStringList ten;
        for (int a = 1; a <= 10; ++a)
            ten << card.arg(a);
        QTest::newRow("cards among empty addresses")
            << "3,7,12" << 2 << 13 << QStringList{} << 0
            << QStringList{card.arg(3), card.arg(7), card.arg(12)} << 30000;
        QTest::newRow("ten cards, none waited for")
            << "1,2,3,4,5,6,7,8,9,10" << 1 << 10 << QStringList{} << 0 << ten << 2500;
        QTest::newRow("--json: a card each and the summary")
            << "4,5" << 4 << 6 << QStringList{"--json"} << 0
            << QStringList{R"({"address":4,"chars":4,"command":"scan")",
                           R"({"address":5,"chars":4,"command":"scan")",
                           R"({"command":"scan","exit":0,"found":[4,5],"from":4,)"
                           R"("interrupted":false,"last":6,"to":6})"}
            << 30000;
        QTest::newRow("none found")
            << "9" << 1 << 2 << QStringList{} << 3 << QStringList{} << 30000;
    }
    void scan() {
        QFETCH(QString, cards);
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QStringList, more);
        QFETCH(int, exitCode);
        QFETCH(QStringList, lines);
        QFETCH(int, withinMs);
        Line line(cards);
        QVERIFY(line.ready());
        QProcess cli;
        QElapsedTimer took;
        took.start();
        cli.start(cliProgram(), QStringList{"scan", "--yes", "--port", line.port(), "--from",
                                            QString::number(from), "--to", QString::number(to)} +
                                    more);
        QVERIFY2(waitFor([&] { return cli.state() == QProcess::NotRunning; }, 60s),
                 "stravik-cli did not end");
        QVERIFY2(took.elapsed() < withinMs, qPrintable(QString::number(took.elapsed())));
        const QString err = QString::fromUtf8(cli.readAllStandardError());
        QCOMPARE(cli.exitCode(), exitCode);
        const QStringList out = QString::fromUtf8(cli.readAllStandardOutput()).split(u'\n');
        QCOMPARE(out.size(), lines.size() + 1); // the last line's break
        for (qsizetype i = 0; i < lines.size(); ++i)
            QVERIFY2(out[i].startsWith(lines[i]), qPrintable(out[i] + u'\n' + err));
        QByteArray wire;
        for (int a = from; a <= to; ++a)
            wire += toByteArray(BuildRestartFrame(a));
        QCOMPARE(line.carried().toHex(' '), wire.toHex(' '));
    }

    // Ctrl+C ends the wait under way at once: the card found is listed, the scan stops.
    void scanEndsOnCtrlC() {
        Line line(QStringLiteral("1"));
        QVERIFY(line.ready());
        QProcess cli;
        cli.start(cliProgram(), {"scan", "--yes", "--wait", "60000", "--port", line.port()});
        QVERIFY(waitFor([&] { return cli.canReadLine(); }, 10s));
        QVERIFY(cli.readLine().startsWith("原地址 1  "));
        QVERIFY(!line.card()->waitForLineStarting(QStringLiteral("82 C0 58 1A  ")).isEmpty());
        ::kill(pid_t(cli.processId()), SIGINT); // in the 60 s wait for address 2
        QVERIFY(waitFor([&] { return cli.state() == QProcess::NotRunning; }, 5s));
        QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
        QCOMPARE(cli.exitCode(), 130);
        QVERIFY(QString::fromUtf8(cli.readAllStandardError())
                    .contains(msg::cli::scanInterrupted(1, 1)));
        QCOMPARE(line.carried().toHex(' '), hex("81c0581a 82c0581a").toHex(' '));
    }

    // Ctrl+C over a plan, while the first rows wait for their read-back: every row is named,
    // none done, and nothing more goes out.
    void applyEndsOnCtrlC() {
        PtyPair a, b;
        QVERIFY(a.isValid() && b.isValid());
        QTemporaryFile plan;
        QVERIFY(plan.open());
        plan.write("port,address,rows,text\n");
        for (const PtyPair *line : {&a, &b})
            for (const char *row : {",1,2,A\n", ",2,3,B\n", ",3,4,C\n"})
                plan.write(line->slavePath().toUtf8() + row);
        plan.close();
        QProcess cli;
        cli.start(cliProgram(), {"apply", plan.fileName(), "--wait", "60000"});
        // Each line's first row: its settings frame, then the restart that awaits the card.
        QCOMPARE(a.read(18, 10s).right(4).toHex(' '), hex("81c0581a").toHex(' '));
        QCOMPARE(b.read(18, 10s).right(4).toHex(' '), hex("81c0581a").toHex(' '));
        ::kill(pid_t(cli.processId()), SIGINT);
        QVERIFY(waitFor([&] { return cli.state() == QProcess::NotRunning; }, 2s));
        QCOMPARE(cli.exitCode(), 130);
        const QString said = QString::fromUtf8(cli.readAllStandardError());
        for (int row = 2; row <= 7; ++row)
            QCOMPARE(said.count(QStringLiteral("第 %1 行 ").arg(row)), 1);
        QCOMPARE(said.count(msg::cli::kNotStarted), 4);
        QVERIFY2(said.contains(QStringLiteral("完成 0，失败 0，中断或未开始 6")), qPrintable(said));
        QVERIFY(a.read(1, 100ms).isEmpty() && b.read(1, 100ms).isEmpty());
    }

    // While a restart waits for its reply on a local port the program sleeps between the line's
    // events: a few wake-ups a second at most, not one every few milliseconds.
    void restartWaitSleeps() {
        PtyPair line;
        QVERIFY(line.isValid());
        QProcess cli;
        cli.start(cliProgram(), {"restart", "7", "--wait", "1500", "--port", line.slavePath()});
        QCOMPARE(line.read(4, 10s).toHex(' '), hex("87c0581a").toHex(' '));
        // The main thread's own count: the one that waits.
        const QString status = QStringLiteral("/proc/%1/task/%1/status").arg(cli.processId());
        const auto wakeUps = [&status]() -> qint64 {
            QFile file(status);
            if (!file.open(QIODevice::ReadOnly))
                return -1;
            for (const QByteArray &l : file.readAll().split('\n'))
                if (l.startsWith("voluntary_ctxt_switches:"))
                    return l.mid(l.indexOf(':') + 1).trimmed().toLongLong();
            return -1;
        };
        const qint64 first = wakeUps();
        QVERIFY(first >= 0);
        QElapsedTimer clock;
        clock.start();
        qint64 last = first, watchedMs = 0;
        QVERIFY(waitFor(
            [&] {
                if (cli.state() == QProcess::NotRunning)
                    return true;
                if (const qint64 now = wakeUps(); now >= 0) {
                    last = now;
                    watchedMs = clock.elapsed();
                }
                return false;
            },
            10s));
        QCOMPARE(cli.exitCode(), 3);
        QVERIFY2(watchedMs >= 1000, qPrintable(QStringLiteral("watched %1 ms").arg(watchedMs)));
        QVERIFY2(
            (last - first) * 1000 <= 20 * watchedMs,
            qPrintable(QStringLiteral("%1 wake-ups in %2 ms").arg(last - first).arg(watchedMs)));
    }

    // Each number, in order, on its device or none: the command runs with a /dev of its own
    // (scripts/route-ports --own-dev) that holds only the nodes of the row, each a
    // pseudo-terminal, so that every device is known here.
    void ports_data() {
        QTest::addColumn<QStringList>("nodes");
        QTest::addColumn<QStringList>("devices");
        QTest::newRow("on-board ttyS2 amid adapters")
            << QStringList{"ttyUSB10", "ttyUSB2", "ttyUSB0", "ttyUSBa", "ttyS2",
                           "ttyACM12", "ttyACM3", "ttyACM1", "ttyACM0"}
            << QStringList{"ttyUSB0", "ttyUSB2", "ttyS2",   "ttyUSB10",
                           "ttyACM0", "ttyACM1", "ttyACM3", "ttyACM12"};
        QTest::newRow("on-board ttyS0 and ttyS7")
            << QStringList{"ttyS7",    "ttyACM20", "ttyUSB9", "ttyACM2",
                           "ttyUSB11", "ttyACM10", "ttyUSB1", "ttyS0"}
            << QStringList{"ttyS0",   "ttyUSB1",  "ttyUSB9",  "ttyUSB11",
                           "ttyACM2", "ttyACM10", "ttyACM20", "ttyS7"};
        QTest::newRow("one adapter, seven numbers without a device")
            << QStringList{"ttyUSB0"} << QStringList{"ttyUSB0", "", "", "", "", "", "", ""};
    }
    void ports() {
        QFETCH(QStringList, nodes);
        QFETCH(QStringList, devices);
        PtyPair pty;
        QVERIFY(pty.isValid());
        QStringList route;
        for (const QString &node : nodes)
            route << pty.slavePath() + u':' + node;
        for (const bool json : {true, false}) {
            QProcess cli;
            cli.start(QStringLiteral(STRAVIK_ROUTE_PORTS),
                      route + QStringList{"--own-dev", "--", cliProgram(), "ports"} +
                          (json ? QStringList{"--json"} : QStringList()));
            QVERIFY(cli.waitForFinished(60000));
            QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());
            const QList<QByteArray> lines = cli.readAllStandardOutput().trimmed().split('\n');
            QCOMPARE(lines.size(), kLastCommPort);
            for (int n = kFirstCommPort; n <= kLastCommPort; ++n) {
                const QString item = QStringLiteral("COM%1").arg(n);
                const QString device =
                    devices[n - 1].isEmpty() ? QString() : QStringLiteral("/dev/") + devices[n - 1];
                if (!json) {
                    QCOMPARE(QString::fromUtf8(lines[n - 1]),
                             device.isEmpty()
                                 ? msg::noDevice(item, {})
                                 : item + u'：' + device + QStringLiteral("（无适配器说明）"));
                    continue;
                }
                const QJsonObject port = QJsonDocument::fromJson(lines[n - 1]).object();
                QCOMPARE(port[u"port"].toString(), item);
                QCOMPARE(port[u"device"].toString(), device);
                QCOMPARE(port[u"present"].toBool(false), !device.isEmpty());
                QCOMPARE(port[u"description"].toString(QStringLiteral("missing")), QString());
                QVERIFY(!port.contains(u"ghost"));
            }
        }
    }

    // The virtual card as a raw device server: one command after another, each its own
    // client, reaches the cards through tcp:// and gets their answers.
    void virtualCardListens() {
        struct Row {
            QStringList args;
            QString frame;
            QString said;
        };
        const Row rows[] = {
            {{"restart", "1"}, "81 C0 58 1A  ", QStringLiteral("原地址 1  行数 1")},
            {{"set", "2", "--rows", "3", "--verify"},
             "82 C0 41 00 02 00 03 00 04 00 00 00 00 1A  ",
             QStringLiteral("行数 3")},
            {{"text", "2", "欢迎"}, "82 C0 44 0B 0B 0B 06 0D 03 0A 0D 1A  ", QString()},
        };
        CardProcess card(QStringLiteral("1,2"), CardProcess::History::Keep,
                         {QStringLiteral("--listen"), QStringLiteral("0")});
        QVERIFY2(card.slavePath().startsWith(u"tcp://127.0.0.1:"), qPrintable(card.transcript()));
        for (const Row &row : rows) {
            const qsizetype from = card.lineCount();
            QProcess cli;
            cli.start(cliProgram(), row.args + QStringList{"--port", card.slavePath()});
            QVERIFY2(waitFor([&] { return cli.state() == QProcess::NotRunning; }, 30s),
                     "stravik-cli did not end");
            const QString out =
                QString::fromUtf8(cli.readAllStandardOutput() + cli.readAllStandardError());
            QVERIFY2(cli.exitCode() == 0 && out.contains(row.said), qPrintable(out));
            QVERIFY2(!card.waitForLineStarting(row.frame, from).isEmpty(),
                     qPrintable(card.transcript()));
        }
    }
};

STRAVIK_SUITE("cli", CliTest);

#include "test_cli.moc"
