#include "serial/win32calls.h"
#include "serial/win32line.h"
#include "tests/suites.h"
#include "tests/support/eventloop.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <map>
#include <mutex>

namespace {

enum Quirk {
    None,
    EqualXonXoff,     // another program left XonChar == XoffChar; SetCommState refuses that
    SetupCommRefused, // SetupComm fails
    FixedAt9600,      // SetCommState refuses any change; the port runs 9600 8N1
    FixedAt115200,    // the same at 115200
    ZeroReadsAtOnce,  // a read ends at once with nothing, whatever the timeouts say
    HalfWrite,        // a write ends with success and half its bytes (a write timeout)
    PurgedMidWrite,   // none; the test itself purges the frame under way
};
enum When { Never, Idle, MidWrite, MidDrain };

// A COM port's driver as Windows drivers behave. On a handle opened without overlapped I/O
// every call waits for the one under way, and a read or a write returns when it ends. A write
// ends when the adapter's FIFO holds the rest; a pulled adapter ends what is under way, and
// fails every later call, with its family's error.
class StandInDriver : public Win32Calls {
  public:
    explicit StandInDriver(Quirk quirk) : quirk_(quirk) {
        dcb_.BaudRate = quirk == FixedAt115200 ? 115200 : 9600;
        dcb_.ByteSize = 8;
        dcb_.XonChar = dcb_.XoffChar = quirk == EqualXonXoff ? 0 : 0x13;
        clock_.start();
    }
    int reads = 0;

    void pull(DWORD error) {
        pulled_ = error;
        for (auto &[io, op] : ops_)
            end(io, op.id, 0, error);
    }

    HANDLE createFile(const wchar_t *, DWORD flags) override {
        overlapped_ = flags & FILE_FLAG_OVERLAPPED;
        return HANDLE(0x5151);
    }
    BOOL closeHandle(HANDLE) override { return TRUE; }
    BOOL getCommState(HANDLE, DCB *dcb) override { return ok(*dcb = dcb_); }
    BOOL setCommState(HANDLE, DCB *dcb) override {
        if (dcb->XonChar == dcb->XoffChar || quirk_ == FixedAt9600 || quirk_ == FixedAt115200)
            return fail(ERROR_INVALID_PARAMETER);
        return ok(dcb_ = *dcb);
    }
    BOOL setCommTimeouts(HANDLE, COMMTIMEOUTS *t) override { return ok(timeouts_ = *t); }
    BOOL setupComm(HANDLE, DWORD, DWORD) override {
        return quirk_ == SetupCommRefused ? fail(ERROR_INVALID_PARAMETER) : ok(0);
    }
    BOOL purgeComm(HANDLE, DWORD flags) override {
        const auto wait = syncWait();
        if (flags & PURGE_TXABORT)
            for (auto &[io, op] : ops_)
                if (op.writing)
                    end(io, op.id, 0, ERROR_OPERATION_ABORTED);
        if (flags & PURGE_TXCLEAR)
            lineFreeMs_ = std::min(lineFreeMs_, now());
        return ok(0);
    }
    BOOL clearCommError(HANDLE, DWORD *errors, COMSTAT *status) override {
        const auto wait = syncWait();
        *errors = 0;
        *status = COMSTAT{};
        status->cbOutQue = DWORD(std::max<qint64>(0, lineFreeMs_ - now()) * 96 / 100);
        return ok(0);
    }
    BOOL readFile(HANDLE, void *, DWORD, DWORD *, OVERLAPPED *io) override {
        ++reads;
        const qint64 waitMs = quirk_ == ZeroReadsAtOnce ? 0 : timeouts_.ReadTotalTimeoutConstant;
        return start(io, false, now() + waitMs, 0);
    }
    BOOL writeFile(HANDLE, const void *, DWORD bytes, DWORD *, OVERLAPPED *io) override {
        // 9600 baud: 0.96 bytes a millisecond; the last 512 wait in the adapter's FIFO.
        lineFreeMs_ = std::max(lineFreeMs_, now()) + bytes * 100 / 96;
        return start(io, true, lineFreeMs_ - 512 * 100 / 96,
                     quirk_ == HalfWrite ? bytes / 2 : bytes);
    }
    BOOL getOverlappedResult(HANDLE, OVERLAPPED *io, DWORD *bytes, BOOL) override {
        const auto found = ops_.find(io);
        if (found == ops_.end() || !found->second.ended)
            return fail(ERROR_IO_INCOMPLETE);
        const Op op = found->second;
        ops_.erase(found);
        *bytes = op.bytes;
        return op.error ? fail(op.error) : ok(0);
    }
    BOOL cancelIoEx(HANDLE, OVERLAPPED *io) override {
        const auto found = ops_.find(io);
        if (found == ops_.end() || found->second.ended)
            return fail(ERROR_NOT_FOUND);
        end(io, found->second.id, 0, ERROR_OPERATION_ABORTED);
        return TRUE;
    }

  private:
    struct Op {
        int id;
        bool writing;
        DWORD bytes;
        DWORD error = 0;
        bool ended = false;
    };
    template <typename T> BOOL ok(const T &) { return pulled_ ? fail(pulled_) : TRUE; }
    BOOL fail(DWORD error) {
        ::SetLastError(error);
        return FALSE;
    }
    qint64 now() const { return clock_.elapsed(); }
    std::unique_lock<std::mutex> syncWait() {
        return overlapped_ ? std::unique_lock<std::mutex>() : std::unique_lock(callUnderWay_);
    }
    BOOL start(OVERLAPPED *io, bool writing, qint64 dueMs, DWORD bytes) {
        if (pulled_)
            return fail(pulled_);
        const auto wait = syncWait();
        ::ResetEvent(io->hEvent);
        const int id = ++lastId_;
        ops_[io] = Op{id, writing, bytes};
        if (!overlapped_) {
            QTest::qSleep(int(std::max<qint64>(0, dueMs - now())));
            ops_.erase(io);
            return TRUE;
        }
        QTimer::singleShot(std::chrono::milliseconds(std::max<qint64>(0, dueMs - now())),
                           [=, this] { end(io, id, bytes, 0); });
        return fail(ERROR_IO_PENDING);
    }
    void end(OVERLAPPED *io, int id, DWORD bytes, DWORD error) {
        const auto found = ops_.find(io);
        if (found == ops_.end() || found->second.id != id || found->second.ended)
            return;
        found->second = Op{id, found->second.writing, bytes, error, true};
        ::SetEvent(io->hEvent);
    }

    Quirk quirk_;
    DCB dcb_{};
    COMMTIMEOUTS timeouts_{};
    QElapsedTimer clock_;
    qint64 lineFreeMs_ = 0;
    std::map<OVERLAPPED *, Op> ops_;
    std::mutex callUnderWay_;
    DWORD pulled_ = 0;
    bool overlapped_ = false;
    int lastId_ = 0;
};

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
        row("a frame goes", None, Never, 0, 200, true, true);
        row("a long frame purged while it goes", PurgedMidWrite, Never, 0, 4000, true, true);
        row("equal Xon/Xoff left behind", EqualXonXoff, Never, 0, 200, true, true);
        row("SetupComm refused", SetupCommRefused, Never, 0, 200, true, true);
        row("SetCommState refused, runs 9600", FixedAt9600, Never, 0, 200, true, true);
        row("SetCommState refused, runs 115200", FixedAt115200, Never, 0, 0, false, false);
        row("reads end at once with nothing", ZeroReadsAtOnce, Never, 0, 200, true, true);
        row("a write times out half done", HalfWrite, Never, 0, 200, true, false);
        row("CDC pulled idle", None, Idle, ERROR_ACCESS_DENIED, 0, true, false);
        row("FTDI pulled mid-write", None, MidWrite, ERROR_OPERATION_ABORTED, 4000, true, false);
        row("PL2303 pulled mid-drain", None, MidDrain, ERROR_BAD_COMMAND, 400, true, false);
        row("CH340 pulled mid-write", None, MidWrite, ERROR_ACCESS_DENIED, 4000, true, false);
        row("pulled idle, general failure", None, Idle, ERROR_GEN_FAILURE, 0, true, false);
        row("removed mid-drain", None, MidDrain, ERROR_DEVICE_REMOVED, 400, true, false);
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
        timed([&] { return (line.beginDrain(), 0); });
        LineStep drained = LineStep::Pending;
        QVERIFY(waitFor([&] {
            return (drained = timed([&] { return line.drainStep(); })) != LineStep::Pending;
        }));
        QCOMPARE(drained == LineStep::Done, sent);
        QVERIFY(waitFor([&] { return lost.size() == (sent ? 0 : 1); }, std::chrono::seconds(1)));
        QVERIFY2(sent || sincePull.elapsed() < 1000,
                 qPrintable(QString::number(sincePull.elapsed())));
        QVERIFY2(driver.reads <= 2 + running.elapsed() / 100,
                 qPrintable(QString::number(driver.reads)));
        QElapsedTimer closing;
        closing.start();
        timed([&] { return (line.beginClose(), 0); });
        QVERIFY(waitFor([&] { return timed([&] { return line.closeStep(); }) == LineStep::Done; },
                        std::chrono::seconds(1)));
        QVERIFY2(longestMs <= 50, qPrintable(QString::number(longestMs)));
    }
};

STRAVIK_SUITE("win32line", Win32LineTest);

#include "test_win32line.moc"
