#include "tests/suites.h"
#include "tests/support/cardprocess.h"
#include "tests/support/eventloop.h"
#include "tests/support/recordingform.h"
#include "tests/support/ser2netserver.h"
#include "texts/messages.h"

#include <QComboBox>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace std::chrono_literals;

// A line that echoes, as a two-wire RS-485 adapter whose receiver hears its own transmitter:
// the virtual card with --echo hands every frame back before its answer, and the window and
// stravik-cli must read the card's settings, not their own restart frame.

namespace {

const QStringList kEcho{QStringLiteral("--echo")};

// Reads what comes back on the card's slave, opened a second time by its path, until count
// bytes arrived or the deadline passed.
QByteArray readFromSlave(int fd, qsizetype count) {
    QByteArray got;
    waitFor([&] {
        pollfd p{fd, POLLIN, 0};
        char buf[256];
        while (got.size() < count && ::poll(&p, 1, 1) > 0) {
            const ssize_t n = ::read(fd, buf, std::size_t(count - got.size()));
            if (n <= 0)
                break;
            got.append(buf, n);
        }
        return got.size() >= count;
    });
    return got;
}

// The frames the card took since line `from`, in hex as it prints them, and its state lines.
void cardLines(const CardProcess &card, qsizetype from, QStringList *frames, QStringList *states) {
    static const QRegularExpression frameLine(QStringLiteral("^([0-9A-F]{2}(?: [0-9A-F]{2})*)  "));
    for (const QString &line : card.linesFrom(from)) {
        if (const auto m = frameLine.match(line); m.hasMatch())
            *frames << m.captured(1);
        else if (line.contains(QStringLiteral(": rows ")))
            *states << line;
    }
}

} // namespace

class EchoTest : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        for (const QString &program : {stravikCliProgram(), cardProgram()})
            if (!QFileInfo(program).isExecutable())
                QSKIP(qPrintable(program + QStringLiteral(" is not built: build the targets "
                                                          "stravik-cli and virtual-card")));
    }

    // What the line hands back for a frame: with --echo the frame itself first, then the
    // card's answer; without it the answer alone.
    void cardEchoes_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("back");
        const QByteArray restart = QByteArray::fromHex("85c0581a");
        const QByteArray answer = QByteArray::fromHex("00050001000400000000");
        const QByteArray text = QByteArray::fromHex("85c04441421a");
        QTest::newRow("restart, no echo") << QStringList() << restart << answer;
        QTest::newRow("restart, echo") << kEcho << restart << restart + answer;
        QTest::newRow("text, echo") << kEcho << text << text;
    }
    void cardEchoes() {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, back);
        CardProcess card(QStringLiteral("5"), CardProcess::History::Keep, options);
        QVERIFY(card.started());
        const int fd =
            ::open(QFile::encodeName(card.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        const bool written =
            ::write(fd, frame.constData(), std::size_t(frame.size())) == frame.size();
        const QByteArray got = readFromSlave(fd, back.size());
        ::close(fd);
        QVERIFY(written);
        QCOMPARE(got.toHex(' '), back.toHex(' '));
    }

    // The window reads the card's settings back through the echo: the lists show the card's
    // values, not the restart frame decoded (5 would show as 133, 4 per row as 88).
    void windowReadsBack_data() {
        QTest::addColumn<QString>("cards");
        QTest::addColumn<QStringList>("settings"); // original, new, rows, chars, data, OE, scan
        QTest::addColumn<QString>("address");      // restarted
        QTest::addColumn<QStringList>("lists");    // Combo2 to Combo7 after the read-back
        const QString F = msg::kForward, R = msg::kReverse;
        const QString Half = msg::kHalfScreen, Full = msg::kFullScreen;
        QTest::newRow("card 5 as it starts")
            << "5" << QStringList() << "5" << QStringList{"5", "1", "4", R, R, Half};
        QTest::newRow("settings sent through the echo first")
            << "5" << QStringList{"5", "200", "8", "16", F, R, Full} << "200"
            << QStringList{"200", "8", "16", F, R, Full};
        QTest::newRow("broadcast, the first card answers")
            << "5,1" << QStringList() << "0" << QStringList{"5", "1", "4", R, R, Half};
    }
    void windowReadsBack() {
        QFETCH(QString, cards);
        QFETCH(QStringList, settings);
        QFETCH(QString, address);
        QFETCH(QStringList, lists);
        CardProcess card(cards, CardProcess::History::Keep, kEcho);
        QVERIFY(card.started());
        RecordingForm tool(card.slavePath());
        QVERIFY(tool.load());
        QComboBox *const read[] = {tool.Combo3, tool.Combo4, tool.Combo5, tool.Combo6, tool.Combo7};
        if (!settings.isEmpty()) {
            chooseOrType(tool.Combo2, settings[0]);
            chooseOrType(tool.Combo8, settings[1]);
            for (int i = 0; i < 5; ++i)
                chooseOrType(read[i], settings[i + 2]);
            click(tool.Command1);
            QVERIFY(!card.waitForLineStarting(QStringLiteral("card %1: rows").arg(settings[1]))
                         .isEmpty());
        }
        // Each list away from what the card will report, so that the read-back must set it.
        for (int i = 0; i < 5; ++i)
            read[i]->setCurrentIndex(read[i]->itemText(0) == lists[i + 1] ? 1 : 0);
        chooseOrType(tool.Combo2, address);
        const qsizetype from = card.lineCount();
        click(tool.Command2);
        QVERIFY(!card.waitForLineContaining(QStringLiteral(" answers: "), from).isEmpty());
        QVERIFY(waitFor([&] { return !tool.Timer1.isActive(); }));
        QCOMPARE(listTexts(tool).mid(1, 6), lists);
        QCOMPARE(tool.shown(), QStringList());
    }

    // stravik-cli through the echo, on the card's pty or through ser2net: it reads the card's
    // settings, and a change of one value writes the others as the card holds them.
    void cliReadsBack_data() {
        QTest::addColumn<bool>("network"); // through ser2net, raw TCP
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("code");           // the exit code; -1: not looked at
        QTest::addColumn<QStringList>("frames"); // what the card took
        QTest::addColumn<QString>("state");      // the card's last state line
        const QString readBack =
            QStringLiteral("原地址 5  行数 1  每行汉字数 4  数据正反向 反向  OE正反向 反向  "
                           "扫描方式 半屏");
        const QString restart = QStringLiteral("85 C0 58 1A");
        const QString plain = QStringLiteral(R"( initial "" text "" shows initial)");
        const QString asStarted = "card 5: rows 1 chars 4 flags 0x00 scan 0" + plain;
        QTest::newRow("restart 5") << false << QStringList{"restart", "5"} << readBack << 0
                                   << QStringList{restart} << asStarted;
        QTest::newRow("restart 5 --json: the raw reply has no echo")
            << false << QStringList{"restart", "5", "--json"}
            << R"("raw":"00 05 00 01 00 04 00 00 00 00")" << 0 << QStringList{restart} << asStarted;
        // The settings frame's echo may come back only after the verifying restart emptied the
        // input: the read-back still agrees.
        QTest::newRow("set 5 --rows 3 --verify: the rest as the card holds them")
            << false << QStringList{"set", "5", "--rows", "3", "--verify"}
            << QStringLiteral("新地址 5  行数 3  每行汉字数 4  数据正反向 反向  OE正反向 反向  "
                              "扫描方式 半屏；读回一致")
            << 0 << QStringList{restart, "85 C0 41 00 05 00 03 00 04 00 00 00 00 1A", restart}
            << "card 5: rows 3 chars 4 flags 0x00 scan 0" + plain;
        QTest::newRow("restart 5 through ser2net")
            << true << QStringList{"restart", "5"} << readBack << 0 << QStringList{restart}
            << asStarted;
    }
    void cliReadsBack() {
        QFETCH(bool, network);
        QFETCH(QStringList, args);
        QFETCH(QString, output);
        QFETCH(int, code);
        QFETCH(QStringList, frames);
        QFETCH(QString, state);
        CardProcess card(QStringLiteral("5"), CardProcess::History::Keep, kEcho);
        QVERIFY(card.started());
        std::unique_ptr<Ser2netServer> server;
        if (network) {
            if (ser2net().isEmpty())
                QSKIP("ser2net is not installed (scripts/test installs it)");
            server = std::make_unique<Ser2netServer>(std::vector<Ser2netServer::Connection>{
                {QStringLiteral("tcp"), QStringLiteral("tcp"), QStringLiteral("9600n81"),
                 card.slavePath()}});
            QVERIFY2(server->listening(), qPrintable(server->config()));
        }
        QProcess cli;
        cli.start(stravikCliProgram(), args << QStringLiteral("--port")
                                            << (network ? server->address(0) : card.slavePath()));
        QVERIFY(cli.waitForStarted());
        cli.closeWriteChannel();
        QVERIFY2(waitFor([&] { return cli.state() == QProcess::NotRunning; }, 60s),
                 "stravik-cli did not end");
        const QString said = QString::fromUtf8(cli.readAllStandardOutput()) +
                             QString::fromUtf8(cli.readAllStandardError());
        QVERIFY2(said.contains(output), qPrintable(said));
        if (code >= 0)
            QCOMPARE(cli.exitCode(), code);

        // A restart for nobody, written behind the program, ends what it sent.
        const QString end = QStringLiteral("BE C3 58 1A  restart card 254");
        const int fd = ::open(QFile::encodeName(card.slavePath()).constData(), O_WRONLY | O_NOCTTY);
        QVERIFY(fd >= 0);
        const bool marked = ::write(fd, "\xbe\xc3\x58\x1a", 4) == 4;
        ::close(fd);
        QVERIFY(marked);
        QVERIFY2(card.waitForLineStarting(end).startsWith(end), qPrintable(card.transcript()));
        QStringList took, states;
        cardLines(card, 1, &took, &states);
        QCOMPARE(took.mid(0, took.size() - 1), frames);
        QVERIFY(!states.isEmpty());
        QCOMPARE(states.last(), state);
        // The card never moved away from 5.
        QCOMPARE(states.filter(QRegularExpression(QStringLiteral("^card (?!5:)"))), QStringList());
    }
};

STRAVIK_SUITE("echo", EchoTest);

#include "test_echo.moc"
