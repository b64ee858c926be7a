#include "card/cardcommands.h"
#include "serial/mscomm.h"
#include "tests/suites.h"
#include "tests/support/cardprocess.h"
#include "tests/support/delayproxy.h"
#include "tests/support/eventloop.h"
#include "tests/support/faultyserver.h"
#include "tests/support/recordingform.h"
#include "tests/support/ser2netserver.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <termios.h>

using namespace std::chrono_literals;
using std::chrono::milliseconds;

namespace {

// Port numbers lead nowhere here: every line is opened by name.
const PortMapping noNumbers = [](int) { return PortTarget(); };

const QString kRfc2217 = QStringLiteral("rfc2217");
const QString kRaw = QStringLiteral("tcp");

// How a run of stravik-cli ended.
struct Outcome {
    bool ended = false;
    int exitCode = -1; // -1: it crashed or was killed
    qint64 ms = 0;
    QString out, err;

    QByteArray describe() const {
        return QStringLiteral("%1 after %2 ms, exit %3\nstdout: %4\nstderr: %5")
            .arg(ended ? "ended" : "killed")
            .arg(ms)
            .arg(exitCode)
            .arg(out.trimmed(), err.trimmed())
            .toUtf8();
    }
};

// Runs stravik-cli with the event loop turning (the virtual card prints meanwhile); killed
// when it has not ended by the deadline.
Outcome runCli(const QStringList &args, milliseconds deadline) {
    QProcess cli;
    QElapsedTimer clock;
    clock.start();
    cli.start(stravikCliProgram(), args);
    Outcome o;
    o.ended = waitFor([&] { return cli.state() == QProcess::NotRunning; }, deadline);
    o.ms = clock.elapsed();
    if (!o.ended) {
        cli.kill();
        cli.waitForFinished();
    }
    o.exitCode = o.ended && cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    o.out = QString::fromUtf8(cli.readAllStandardOutput());
    o.err = QString::fromUtf8(cli.readAllStandardError());
    return o;
}

// The virtual card behind ser2net behind a link with the given round trip.
struct SlowLink {
    SlowLink(const QString &scheme, milliseconds roundTrip)
        : server({{scheme == kRfc2217 ? QStringLiteral("telnet(rfc2217),tcp") : kRaw, scheme,
                   QStringLiteral("9600n81"), card.slavePath()}}),
          proxy("127.0.0.1", server.port(0), roundTrip), scheme(scheme) {}
    QString address() const {
        return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(proxy.port());
    }

    CardProcess card;
    Ser2netServer server;
    DelayProxy proxy;
    QString scheme;
};

// A text of ASCII characters whose frame is its length and four bytes.
QString asciiText(int length) {
    QString text;
    for (int i = 0; i < length; ++i)
        text += QChar(u'a' + i % 26);
    return text;
}

} // namespace

class LinksTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        if (ser2net().isEmpty())
            QSKIP("ser2net is not installed (scripts/test installs it)");
        for (const QString &program : {stravikCliProgram(), cardProgram()})
            if (!QFileInfo(program).isExecutable())
                QSKIP(qPrintable(program + QStringLiteral(" is not built")));
    }

    // A command that reads the card back works over a slow link in both modes, and ends in
    // the link's time: each read half a second after its frame plus the round trip, the
    // open and the close a round trip each at most.
    void readBack_data() {
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<int>("roundTripMs");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("reads"); // restarts whose reply is awaited
        QTest::addColumn<QString>("output");
        const QString readBack =
            QStringLiteral("原地址 1  行数 1  每行汉字数 4  数据正反向 反向  OE正反向 反向  "
                           "扫描方式 半屏");
        for (const int rtt : {0, 300, 1000, 2000})
            for (const QString &scheme : {kRfc2217, kRaw})
                QTest::addRow("restart, %s, %d ms", qPrintable(scheme), rtt)
                    << scheme << rtt << QStringList{"restart", "1"} << 1 << readBack;
        for (const int rtt : {0, 2000})
            for (const QString &scheme : {kRfc2217, kRaw})
                QTest::addRow("set --verify, %s, %d ms", qPrintable(scheme), rtt)
                    << scheme << rtt << QStringList{"set", "1", "--rows", "3", "--verify"} << 2
                    << QStringLiteral("读回一致");
    }
    void readBack() {
        QFETCH(QString, scheme);
        QFETCH(int, roundTripMs);
        QFETCH(QStringList, args);
        QFETCH(int, reads);
        QFETCH(QString, output);
        const milliseconds rtt(roundTripMs);
        SlowLink link(scheme, rtt);
        QVERIFY2(link.card.started(), "the virtual card named no pseudo-terminal");
        QVERIFY2(link.server.listening(), qPrintable(link.server.config()));
        QVERIFY2(link.proxy.listening(), link.proxy.error().c_str());

        const milliseconds bound = reads * 500ms + 4 * rtt + 1s;
        const Outcome o = runCli(args << QStringLiteral("--port") << link.address(), bound + 3s);
        qInfo("%lld ms of at most %lld", o.ms, qlonglong(bound.count()));
        QVERIFY2(o.ended && o.exitCode == 0, o.describe());
        QVERIFY2(o.out.contains(output), o.describe());
        QVERIFY2(o.ms <= bound.count(), o.describe() + " (more than " +
                                            QByteArray::number(qlonglong(bound.count())) + " ms)");
        // Each reply was read no sooner than the card's time after its restart, and the replies
        // crossed the link: without a delay on the link the card's time alone bounds it.
        const milliseconds least = reads * kReplyDelay + rtt;
        QVERIFY2(o.ms >= least.count(), o.describe() + " (less than " +
                                            QByteArray::number(qlonglong(least.count())) + " ms)");
    }

    // The window's open over a 2 s round trip: the server's line takes the settings asked for.
    void rfc2217OpenOverSlowLink() {
        Ser2netServer server(
            {{QStringLiteral("telnet(rfc2217),tcp"), kRfc2217, QStringLiteral("19200e71")}});
        QVERIFY2(server.listening(), qPrintable(server.config()));
        DelayProxy proxy("127.0.0.1", server.port(0), 2s);
        QVERIFY2(proxy.listening(), proxy.error().c_str());
        MSComm comm(noNumbers);
        QVERIFY(comm.setPortName(QStringLiteral("rfc2217://127.0.0.1:%1").arg(proxy.port())) ==
                CommResult::Ok);
        QVERIFY(comm.setSettings(QStringLiteral("9600,n,8,1")) == CommResult::Ok);
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(comm.setPortOpen(true) == CommResult::Ok,
                 qPrintable(comm.openError().systemMessage));
        qInfo("open over a 2 s round trip: %lld ms", clock.elapsed());
        termios t{};
        QVERIFY(::tcgetattr(server.pty(0).masterFd(), &t) == 0);
        QCOMPARE(::cfgetospeed(&t), speed_t(B9600));
        QCOMPARE(t.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
    }

    // The window's restart through rfc2217:// over a 600 ms round trip: the card's reply
    // reaches the lists, read after the half second and the round trip.
    void windowReadsBackOverSlowLink() {
        SlowLink link(kRfc2217, 600ms);
        QVERIFY2(link.card.started(), "the virtual card named no pseudo-terminal");
        QVERIFY2(link.server.listening(), qPrintable(link.server.config()));
        RecordingForm form(link.address());
        QVERIFY2(form.load(), qPrintable(form.shown().join(u'\n')));
        chooseOrType(form.Combo2, QStringLiteral("1"));
        chooseOrType(form.Combo4, QStringLiteral("16"));
        QCOMPARE(form.Combo4->currentText(), QStringLiteral("16"));
        QElapsedTimer clock;
        clock.start();
        click(commandButton(form, 2));
        // Card 1 as it starts reports 4 characters a row.
        QVERIFY2(waitFor([&] { return form.Combo4->currentText() == u"4"; }, 5s),
                 qPrintable(listTexts(form).join(u' ')));
        QVERIFY2(clock.elapsed() >= 1100, QByteArray::number(clock.elapsed()));
        QCOMPARE(form.shown(), QStringList());
    }

    // A server that goes away before its line could have carried the frame fails the command
    // (exit 2, why on standard error); one that floods keeps no command from ending.
    void faultyServer_data() {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<int>("flavour");
        QTest::addColumn<int>("bytes");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode"); // -1: any, as long as the command ends and says so
        QTest::addColumn<int>("withinMs");
        QTest::addColumn<QByteArray>("serverGot"); // what the server must have received first
        using B = FaultyServer::Behaviour;
        using F = FaultyServer::Flavour;
        const QString text3000 = asciiText(3000), text4000 = asciiText(4000);
        const QByteArray frame3000 = "\x85\xc0\x44" + text3000.toLatin1() + '\x1a';
        const QByteArray frame4000 = "\x85\xc0\x44" + text4000.toLatin1() + '\x1a';
        for (const F flavour : {F::Rfc2217, F::Raw}) {
            const char *name = flavour == F::Raw ? "raw" : "rfc2217";
            QTest::addRow("reset with a 3004-byte frame unread, %s", name)
                << int(B::ResetUnread) << int(flavour) << 3004 << QStringList{"text", "5", text3000}
                << 2 << 15000 << frame3000;
            QTest::addRow("closed after 2048 of 4004 bytes, %s", name)
                << int(B::ReadThenClose) << int(flavour) << 2048
                << QStringList{"text", "5", text4000} << 2 << 15000 << frame4000.left(2048);
            QTest::addRow("flood after a restart, %s", name)
                << int(B::FloodAfterFrame) << int(flavour) << 0 << QStringList{"restart", "1"} << -1
                << 5000 << QByteArray("\x81\xc0\x58\x1a");
        }
    }
    void faultyServer() {
        QFETCH(int, behaviour);
        QFETCH(int, flavour);
        QFETCH(int, bytes);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(int, withinMs);
        QFETCH(QByteArray, serverGot);
        FaultyServer server{FaultyServer::Behaviour(behaviour), FaultyServer::Flavour(flavour),
                            std::size_t(bytes)};
        QVERIFY2(server.listening(), server.error().c_str());

        args << QStringLiteral("--port") << QString::fromStdString(server.address());
        const Outcome o = runCli(args, milliseconds(withinMs));
        qInfo("exit %d after %lld ms: %s", o.exitCode, o.ms,
              qPrintable((o.err + o.out).trimmed().section(u'\n', 0, 0)));
        QVERIFY2(o.ended, o.describe());
        const QByteArray got = QByteArray::fromStdString(server.received());
        QVERIFY2(got.startsWith(serverGot), o.describe() + "\nthe server got " + got.left(64));
        if (exitCode < 0) {
            QVERIFY2(server.flooded() > 0, o.describe());
            QVERIFY2(!(o.out + o.err).trimmed().isEmpty(), o.describe());
        } else {
            QVERIFY2(o.exitCode == exitCode, o.describe());
            QVERIFY2(o.err.contains(QStringLiteral("发送中断开")), o.describe());
        }
    }
};

STRAVIK_SUITE("links", LinksTest);
#include "test_links.moc"
