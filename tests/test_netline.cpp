#include "card/cardcommands.h"
#include "serial/line.h"
#include "serial/mscomm.h"
#include "tests/suites.h"
#include "tests/support/cardprocess.h"
#include "tests/support/eventloop.h"
#include "tests/support/pty.h"
#include "tests/support/recordingform.h"
#include "tests/support/ser2netserver.h"
#include "texts/messages.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <termios.h>

#include <algorithm>
#include <memory>

using namespace std::chrono_literals;

namespace {

// Port numbers lead nowhere here: every line is opened by name.
const PortMapping noNumbers = [](int) { return PortTarget(); };

// What the suite serves, each on its own port and pseudo-terminal.
enum Mode { Rfc2217, Raw, PlainTelnet, RawAskedForRfc2217, kModes };

std::unique_ptr<Ser2netServer> startServer() {
    // The RFC 2217 pty is not at 9600 8N1 to begin with, so the client's settings show.
    return std::make_unique<Ser2netServer>(std::vector<Ser2netServer::Connection>{
        {QStringLiteral("telnet(rfc2217),tcp"), QStringLiteral("rfc2217"),
         QStringLiteral("19200e71")},
        {QStringLiteral("tcp"), QStringLiteral("tcp")},
        {QStringLiteral("telnet,tcp"), QStringLiteral("rfc2217")},
        {QStringLiteral("tcp"), QStringLiteral("rfc2217")}});
}

} // namespace

class NetLineTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        if (ser2net().isEmpty())
            QSKIP("ser2net is not installed (scripts/test installs it)");
    }
    void init() {
        if (!server_ || !server_->running()) {
            server_ = startServer();
            QVERIFY2(server_->listening(), qPrintable(server_->config()));
        }
    }

    void bytesCrossUnchanged_data() {
        QTest::addColumn<int>("mode");
        QTest::newRow("rfc2217") << int(Rfc2217);
        QTest::newRow("raw tcp") << int(Raw);
    }
    void bytesCrossUnchanged() {
        QFETCH(int, mode);
        PtyPair &pty = server_->pty(mode);
        MSComm comm(noNumbers);
        QSignalSpy lost(&comm, &MSComm::portLost);
        QVERIFY(comm.setPortName(server_->address(mode)) == CommResult::Ok);
        QVERIFY2(comm.setPortOpen(true) == CommResult::Ok,
                 qPrintable(comm.openError().systemMessage));
        if (mode == Rfc2217) {
            termios t{};
            QVERIFY(::tcgetattr(pty.masterFd(), &t) == 0);
            QCOMPARE(::cfgetospeed(&t), speed_t(B9600));
            QCOMPARE(t.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
        }

        // A restart as the window sends it: both ways cleared, the frame, the card's reply, and
        // the reply read by a timer half a second after the frame.
        const QByteArray restart = QByteArray::fromHex("80c0581a");
        const QByteArray reply = QByteArray::fromHex("ff0d00c3ff1a");
        QVERIFY(comm.setInBufferCount(0) == CommResult::Ok);
        QVERIFY(comm.setOutBufferCount(0) == CommResult::Ok);
        QVERIFY(comm.setOutput(restart) == CommResult::Ok);
        std::optional<int> count;
        std::optional<QByteArray> input;
        QTimer::singleShot(500ms, this, [&] {
            count = comm.inBufferCount();
            input = comm.input();
        });
        QCOMPARE(pty.read(restart.size()).toHex(' '), restart.toHex(' '));
        QVERIFY(pty.write(reply));
        QVERIFY(waitFor([&] { return input.has_value(); }, 2s));
        QCOMPARE(count.value_or(-1), reply.size());
        QCOMPARE(input->toHex(' '), reply.toHex(' '));

        // Every byte value, 0xFF and CR NUL among them, then the terminator.
        QByteArray text;
        for (int i = 0; i < 600; ++i)
            text.append(static_cast<char>(i * 7 % 256));
        text += QByteArray::fromHex("0d00ff1a");
        QVERIFY(comm.setOutBufferCount(0) == CommResult::Ok);
        QVERIFY(comm.setOutput(text) == CommResult::Ok);
        QCOMPARE(pty.read(text.size()).toHex(' '), text.toHex(' '));

        // Bytes that wait in the connection are counted with no turn of the event loop.
        const int onWire = int(reply.size() + (mode == Rfc2217 ? reply.count('\xff') : 0));
        QVERIFY(pty.write(reply));
        QVERIFY(
            waitBlocked([&] { return tcpEntry(server_->port(mode), true, "01") >= onWire; }, 5s));
        QCOMPARE(comm.inBufferCount().value_or(-1), reply.size());
        QCOMPARE(comm.input()->toHex(' '), reply.toHex(' '));

        // The server stopped is a device gone: the port closes by itself.
        server_->stop();
        QVERIFY(waitFor([&] { return lost.count() == 1; }, 3s));
        QVERIFY(!comm.portOpen());
        QCOMPARE(comm.setOutput(restart), CommResult::PortClosed);
    }

    void openFailsWithReason_data() {
        // An address, or the server's for a mode; the RFC 2217 one held by another client.
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("withinMs");
        const QString nobody = QString::number(freePort());
        QTest::newRow("nobody serves")
            << "rfc2217://127.0.0.1:" + nobody << -1 << "连接被拒绝" << 500;
        QTest::newRow("nobody serves [::1]")
            << "tcp://[::1]:" + nobody << -1 << "连接被拒绝" << 500;
        QTest::newRow("no port") << "tcp://127.0.0.1" << -1 << "地址写法不对" << 500;
        QTest::newRow("port held by another client")
            << QString() << int(Rfc2217) << "服务器关闭了连接" << 500;
        QTest::newRow("plain Telnet server")
            << QString() << int(PlainTelnet) << "不支持 RFC 2217" << 500;
        QTest::newRow("raw server asked for rfc2217")
            << QString() << int(RawAskedForRfc2217) << "3 秒内没有回应 RFC 2217" << 3500;
    }
    void openFailsWithReason() {
        QFETCH(QString, address);
        QFETCH(int, mode);
        QFETCH(QString, reason);
        QFETCH(int, withinMs);
        if (address.isEmpty())
            address = server_->address(mode);
        MSComm holder(noNumbers);
        QVERIFY(mode != Rfc2217 || (holder.setPortName(address) == CommResult::Ok &&
                                    holder.setPortOpen(true) == CommResult::Ok));
        MSComm comm(noNumbers);
        QVERIFY(comm.setPortName(address) == CommResult::Ok);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(comm.setPortOpen(true), CommResult::OpenFailed);
        QVERIFY2(clock.elapsed() < withinMs, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(comm.openError().kind, OpenError::Network);
        QCOMPARE(comm.openError().device, address);
        const QString said = msg::networkFault(comm.openError());
        QVERIFY2(said.contains(reason), qPrintable(said));
        QVERIFY(!comm.portOpen());
    }

    // The scheme is read in any case, the same by the line, the window and the command line: an
    // RFC 2217 address in capitals negotiates the server's port (set to 19200e71 by ser2net) to
    // 9600 8N1 and is called RFC 2217; the command line's restart goes out through it.
    void schemeInAnyCase_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("said"); // in the window's tooltip or details, and the cli's
        QTest::newRow("RFC2217") << int(Rfc2217) << "RFC2217" << int(LineKind::Rfc2217)
                                 << "串口服务器（RFC 2217，线路设置 9600,n,8,1 由本程序设定）";
        QTest::newRow("Rfc2217") << int(Rfc2217) << "Rfc2217" << int(LineKind::Rfc2217)
                                 << "串口服务器（RFC 2217，线路设置 9600,n,8,1 由本程序设定）";
        QTest::newRow("TCP") << int(Raw) << "TCP" << int(LineKind::Tcp) << "串口服务器（raw TCP";
        QTest::newRow("RFC2217 to a plain Telnet server")
            << int(PlainTelnet) << "RFC2217" << int(LineKind::Rfc2217) << "不支持 RFC 2217";
    }
    void schemeInAnyCase() {
        QFETCH(int, mode);
        QFETCH(QString, scheme);
        QFETCH(int, kind);
        QFETCH(QString, said);
        QString address = server_->address(mode);
        address.replace(0, address.indexOf(u':'), scheme);
        QCOMPARE(int(KindOfPort(address)), kind);
        const bool opens = mode != PlainTelnet;
        PtyPair &pty = server_->pty(mode);
        {
            RecordingForm form;
            form.Combo1->lineEdit()->setText(address);
            form.Combo1_KeyPress();
            QCOMPARE(form.MSComm1.portOpen(), opens);
            const QString shown = opens ? form.Combo1->toolTip() : form.openFailureDetails();
            QVERIFY2(shown.contains(said), qPrintable(shown));
            if (mode == Rfc2217) {
                termios t{};
                QVERIFY(::tcgetattr(pty.masterFd(), &t) == 0);
                QCOMPARE(::cfgetospeed(&t), speed_t(B9600));
            }
        }
        QProcess cli;
        cli.start(
            QCoreApplication::applicationDirPath() + QStringLiteral("/../cli/stravik-cli"),
            {QStringLiteral("restart"), QStringLiteral("1"), QStringLiteral("--port"), address});
        QVERIFY(cli.waitForFinished(30000));
        const QString cliSaid = QString::fromUtf8(cli.readAllStandardError());
        if (opens) {
            QVERIFY2(cli.exitCode() == 3, qPrintable(cliSaid)); // no card behind the server
            QCOMPARE(pty.read(4, 3s).toHex(' '), QByteArray("81 c0 58 1a"));
        } else {
            QCOMPARE(cli.exitCode(), 2);
            QVERIFY2(cliSaid.contains(said), qPrintable(cliSaid));
        }
    }

    // The card commands through the server, each frame as on a local port, and a restart's reply
    // at the tick; the restart's time from the command to the reply read is for the notes.
    void everyCommandCrosses_data() {
        QTest::addColumn<int>("mode"); // -1: a pseudo-terminal of this machine, for comparison
        QTest::newRow("direct pty") << -1;
        QTest::newRow("rfc2217") << int(Rfc2217);
        QTest::newRow("raw tcp") << int(Raw);
    }
    void everyCommandCrosses() {
        QFETCH(int, mode);
        PtyPair local;
        PtyPair &pty = mode < 0 ? local : server_->pty(mode);
        MSComm comm(noNumbers);
        QVERIFY(comm.setPortName(mode < 0 ? local.slavePath() : server_->address(mode)) ==
                CommResult::Ok);
        QVERIFY(comm.setPortOpen(true) == CommResult::Ok);
        CardCommands card(comm);
        const SettingsValues values{5, 2, 12, 0x11, 1};
        const CommandOutcome settings = card.modifySettings(255, values);
        QCOMPARE(pty.read(13).toHex(' '), toByteArray(settings.frame).toHex(' '));
        for (const auto which : {DisplayText::Initial, DisplayText::Current}) {
            const CommandOutcome sent = card.sendText(1, which, QStringLiteral("欢迎光临"));
            QCOMPARE(pty.read(20).toHex(' '), toByteArray(sent.frame).toHex(' '));
        }

        QList<qint64> millis;
        for (int i = 0; i < 5; ++i) {
            std::optional<CardReply> reply;
            const auto connection = connect(&card, &CardCommands::replyRead,
                                            [&](const std::optional<CardReply> &r) { reply = r; });
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(card.restart(7).status, CommandOutcome::Sent);
            QCOMPARE(pty.read(4).toHex(' '), QByteArray("87 c0 58 1a"));
            QVERIFY(pty.write(QByteArray::fromHex("00070002000cff0001")));
            QVERIFY(waitFor([&] { return reply.has_value(); }, 2s));
            millis << clock.elapsed();
            disconnect(connection);
            QVERIFY(reply && reply->values == (ReplyValues{7, 2, 12, 0xFF, 1}));
        }
        std::sort(millis.begin(), millis.end());
        qInfo("restart to reply read: median %lld ms, range %lld..%lld ms over 5", millis[2],
              millis.front(), millis.back());
    }

    // The virtual card as a device server of its own: the window reaches it at the address typed
    // into the port list, as anyone trying the tool without a card does.
    void windowReachesTheListeningCard() {
        CardProcess card(QStringLiteral("1,9"), CardProcess::History::Keep,
                         {QStringLiteral("--listen"), QStringLiteral("0")});
        QVERIFY2(card.slavePath().startsWith(u"tcp://127.0.0.1:"), qPrintable(card.transcript()));
        RecordingForm form;
        form.Combo1->lineEdit()->setText(card.slavePath());
        form.Combo1_KeyPress();
        QVERIFY(form.MSComm1.portOpen());
        form.Combo2->setCurrentText(QStringLiteral("9"));
        form.Combo4->setEditText(QString());
        form.Command2_Click();
        QVERIFY2(!card.waitForLineStarting(QStringLiteral("89 C0 58 1A  ")).isEmpty(),
                 qPrintable(card.transcript() + form.shown().join(u'|')));
        QVERIFY(waitFor([&] { return form.Combo4->currentText() == u"4"; }, 3s));
        QCOMPARE(form.Combo2->currentText(), QStringLiteral("9"));
    }

    // A frame drained and the port closed at once, as stravik-cli ends, still reaches the card:
    // the server lets go of the connection only after its line has carried the frame.
    void lastFrameOutlivesTheClose_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("drained"); // false: closed right after the write, as on exit
        QTest::newRow("rfc2217, drained") << int(Rfc2217) << true;
        QTest::newRow("raw tcp, drained") << int(Raw) << true;
        QTest::newRow("rfc2217, closed") << int(Rfc2217) << false;
        QTest::newRow("raw tcp, closed") << int(Raw) << false;
    }
    void lastFrameOutlivesTheClose() {
        QFETCH(int, mode);
        QFETCH(bool, drained);
        QByteArray frame = QByteArray::fromHex("81c044") + QByteArray(drained ? 300 : 60, 'A');
        frame += '\x1a';
        for (int i = 0; i < 20; ++i) {
            MSComm comm(noNumbers);
            QVERIFY(comm.setPortName(server_->address(mode)) == CommResult::Ok);
            QVERIFY(comm.setPortOpen(true) == CommResult::Ok);
            QVERIFY(comm.setOutput(frame) == CommResult::Ok);
            QVERIFY(!drained || comm.drain());
            QVERIFY(comm.setPortOpen(false) == CommResult::Ok);
            QCOMPARE(server_->pty(mode).read(frame.size()).toHex(' '), frame.toHex(' '));
        }
    }

    // Each line opened again right after its close, as the window does when the same port is
    // chosen again; the times from open to the lamp are for the notes.
    void openTimes() {
        PtyPair local;
        for (const int mode : {-1, int(Rfc2217), int(Raw)}) {
            const QString address = mode < 0 ? local.slavePath() : server_->address(mode);
            QList<qint64> micros;
            for (int i = 0; i < 9; ++i) {
                MSComm comm(noNumbers);
                QVERIFY(comm.setPortName(address) == CommResult::Ok);
                QElapsedTimer clock;
                clock.start();
                QVERIFY(comm.setPortOpen(true) == CommResult::Ok);
                micros << clock.nsecsElapsed() / 1000;
            }
            std::sort(micros.begin(), micros.end());
            qInfo("open %s: median %lld us, range %lld..%lld us over 9 opens",
                  qPrintable(address.section(u':', 0, 0)), micros[4], micros.front(),
                  micros.back());
        }
    }

  private:
    std::unique_ptr<Ser2netServer> server_;
};

STRAVIK_SUITE("netline", NetLineTest);
#include "test_netline.moc"
