#include "serial/win32line.h"
#include "tests/suites.h"
#include "tests/support/eventloop.h"
#include "tests/support/standindriver.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

namespace {

// When the adapter is pulled; Closing: nothing pulled, the port closed with the frame under way.
enum When { Never, Idle, MidWrite, MidDrain, Closing };

} // namespace

class Win32LineTest : public QObject {
    Q_OBJECT
  private slots:
    // One row per driver behaviour. In every row no call on the line takes over 50 ms, an idle
    // port is read at most ten times a second, a loss is reported within a second, the frame
    // counts as sent only when it went, and the close ends within a second.
    void driverBehaviours_data() {
        QTest::addColumn<int>("quirk");
        QTest::addColumn<int>("when");
        QTest::addColumn<uint>("pullError");
        QTest::addColumn<int>("frameBytes");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<bool>("sent");
        const auto row = [](const char *name, Quirk quirk, When when, DWORD error, int bytes,
                            bool opens, bool sent) {
            QTest::newRow(name) << int(quirk) << int(when) << uint(error) << bytes << opens << sent;
        };
        row("a frame goes", NoQuirk, Never, 0, 200, true, true);
        row("a long frame purged while it goes", PurgedMidWrite, Never, 0, 4000, true, true);
        row("a long frame closed while it goes", NoQuirk, Closing, 0, 4000, true, false);
        row("equal Xon/Xoff left behind", EqualXonXoff, Never, 0, 200, true, true);
        row("SetupComm refused", SetupCommRefused, Never, 0, 200, true, true);
        row("SetCommState refused, runs 9600", FixedAt9600, Never, 0, 200, true, true);
        row("SetCommState refused, runs 115200", FixedAt115200, Never, 0, 0, false, false);
        row("reads end at once with nothing", ZeroReadsAtOnce, Never, 0, 200, true, true);
        row("a write times out half done", HalfWrite, Never, 0, 200, true, false);
        row("CDC pulled idle", NoQuirk, Idle, ERROR_ACCESS_DENIED, 0, true, false);
        row("FTDI pulled mid-write", NoQuirk, MidWrite, ERROR_OPERATION_ABORTED, 4000, true, false);
        row("PL2303 pulled mid-drain", NoQuirk, MidDrain, ERROR_BAD_COMMAND, 400, true, false);
        row("CH340 pulled mid-write", NoQuirk, MidWrite, ERROR_ACCESS_DENIED, 4000, true, false);
        row("pulled idle, general failure", NoQuirk, Idle, ERROR_GEN_FAILURE, 0, true, false);
        row("removed mid-drain", NoQuirk, MidDrain, ERROR_DEVICE_REMOVED, 400, true, false);
    }
    void driverBehaviours() {
        QFETCH(int, quirk);
        QFETCH(int, when);
        QFETCH(uint, pullError);
        QFETCH(int, frameBytes);
        QFETCH(bool, opens);
        QFETCH(bool, sent);
        StandInDriver driver{Quirk(quirk)};
        Win32Line line(QStringLiteral("COM7"), &driver);
        QSignalSpy lost(&line, &Line::lost);
        qint64 longestMs = 0;
        const auto timed = [&](auto call) {
            QElapsedTimer t;
            t.start();
            const auto result = call();
            longestMs = std::max(longestMs, t.elapsed());
            return result;
        };
        QElapsedTimer running;
        running.start();
        OpenError error;
        timed([&] { return (line.beginOpen(LineSettings{}), 0); });
        QCOMPARE(timed([&] { return line.openStep(&error); }) == LineStep::Done, opens);
        if (!opens) {
            QCOMPARE(error.failedCall, QStringLiteral("SetCommState (9600,n,8,1)"));
            return;
        }
        if (frameBytes > 0)
            QVERIFY(timed([&] { return line.write(QByteArray(frameBytes, 'x')); }));
        if (when == MidDrain)
            QVERIFY(waitFor([&] { return timed([&] { return line.queuedBytes(); }) == 0; }));
        QVERIFY(timed([&] { return line.unsentBytes(); }) > 0 || when == Idle);
        QVERIFY(timed([&] { return line.applySettings(LineSettings{}); }));
        if (quirk == PurgedMidWrite)
            QVERIFY(timed([&] { return line.clearUnsent(); }));
        QElapsedTimer sincePull;
        sincePull.start();
        if (pullError)
            driver.pull(pullError);
        const bool loses = pullError != 0 || quirk == HalfWrite;
        if (when != Idle && when != Closing) {
            timed([&] { return (line.beginDrain(), 0); });
            LineStep drained = LineStep::Pending;
            QVERIFY(waitFor([&] {
                return (drained = timed([&] { return line.drainStep(); })) != LineStep::Pending;
            }));
            QCOMPARE(drained == LineStep::Done, sent);
        }
        QVERIFY(waitFor([&] { return lost.size() == (loses ? 1 : 0); }, std::chrono::seconds(1)));
        QVERIFY(!loses || sincePull.elapsed() < 1000);
        QVERIFY2(driver.reads <= 2 + running.elapsed() / 100,
                 qPrintable(QString::number(driver.reads)));
        timed([&] { return (line.beginClose(), 0); });
        QVERIFY(waitFor([&] { return timed([&] { return line.closeStep(); }) == LineStep::Done; },
                        std::chrono::seconds(1)));
        QVERIFY(!driver.writeUnderWay());
        QVERIFY2(longestMs <= 50, qPrintable(QString::number(longestMs)));
    }
};

STRAVIK_SUITE("win32line", Win32LineTest);

#include "test_win32line.moc"
