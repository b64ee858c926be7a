#include "serial/mscomm.h"
#include "serial/portmap.h"
#include "tests/suites.h"
#include "tests/support/fixtures.h"
#include "tests/support/golden.h"
#include "tests/support/idle.h"
#include "tests/support/pty.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

const QString kLine = QStringLiteral("9600,n,8,1");

QByteArray everyByteValue(int repeats = 1) {
    QByteArray bytes;
    for (int r = 0; r < repeats; ++r)
        for (int i = 0; i < 256; ++i)
            bytes.append(static_cast<char>(i));
    return bytes;
}

// Puts the slave back into a terminal's cooked defaults (line editing, echo, signal keys,
// XON/XOFF, CR/LF translation, bit 7 stripped), so that a test shows that the serial layer
// itself makes the line raw when it opens it.
bool cookLine(const QString &path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    termios t{};
    bool ok = ::tcgetattr(fd, &t) == 0;
    t.c_iflag |= ICRNL | IXON | IXOFF | ISTRIP;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    ok = ok && ::tcsetattr(fd, TCSANOW, &t) == 0;
    ::close(fd);
    return ok;
}

struct Operation {
    const char *name;
    std::function<CommResult(MSComm &)> run;
};

QString resultName(CommResult result) {
    static const char *const names[] = {"Ok",         "PortClosed",   "PortAlreadyOpen",
                                        "OpenFailed", "InvalidValue", "IoError"};
    const auto i = static_cast<std::size_t>(result);
    return QString::fromLatin1(i < std::size(names) ? names[i] : "unknown");
}

CommResult resultOf(const std::optional<int> &value) {
    return value ? CommResult::Ok : CommResult::PortClosed;
}

CommResult resultOf(const std::optional<QByteArray> &value) {
    return value ? CommResult::Ok : CommResult::PortClosed;
}

// Every operation that needs an open port, with the values the commands use.
const std::vector<Operation> &portOperations() {
    static const std::vector<Operation> all{
        {"setInputMode(1)", [](MSComm &c) { return c.setInputMode(1); }},
        {"setInputLen(3)", [](MSComm &c) { return c.setInputLen(3); }},
        {"setSThreshold(0)", [](MSComm &c) { return c.setSThreshold(0); }},
        {"setRThreshold(3)", [](MSComm &c) { return c.setRThreshold(3); }},
        {"inBufferCount()", [](MSComm &c) { return resultOf(c.inBufferCount()); }},
        {"setInBufferCount(0)", [](MSComm &c) { return c.setInBufferCount(0); }},
        {"setOutBufferCount(0)", [](MSComm &c) { return c.setOutBufferCount(0); }},
        {"setOutput(frame)", [](MSComm &c) { return c.setOutput(golden("restart broadcast 0")); }},
        {"setOutput(empty)", [](MSComm &c) { return c.setOutput({}); }},
        {"input()", [](MSComm &c) { return resultOf(c.input()); }},
    };
    return all;
}

// The operations that did not fail with PortClosed, each with what it answered.
QStringList operationsThatDidNotFail(MSComm &comm) {
    QStringList wrong;
    for (const Operation &op : portOperations()) {
        const CommResult result = op.run(comm);
        if (result != CommResult::PortClosed)
            wrong << QStringLiteral("%1 gave %2").arg(op.name, resultName(result));
    }
    return wrong;
}

// Values outside what the properties take, for an open port.
const std::vector<Operation> &outOfRangeValues() {
    static const std::vector<Operation> all{
        {"setInputMode(2)", [](MSComm &c) { return c.setInputMode(2); }},
        {"setInputMode(-1)", [](MSComm &c) { return c.setInputMode(-1); }},
        {"setInputLen(-1)", [](MSComm &c) { return c.setInputLen(-1); }},
        {"setInputLen(32768)", [](MSComm &c) { return c.setInputLen(32768); }},
        {"setSThreshold(-1)", [](MSComm &c) { return c.setSThreshold(-1); }},
        {"setRThreshold(-1)", [](MSComm &c) { return c.setRThreshold(-1); }},
        {"setRThreshold(32768)", [](MSComm &c) { return c.setRThreshold(32768); }},
        {"setInBufferCount(3)", [](MSComm &c) { return c.setInBufferCount(3); }},
        {"setOutBufferCount(1)", [](MSComm &c) { return c.setOutBufferCount(1); }},
    };
    return all;
}

enum class ClosedState { NeverOpened, ClosedAfterUse, OpenFailed };
enum class Holder { SecondCopy, LockingDescriptor, LockingProcess };

// Another process that opens the device and holds flock(LOCK_EX) on it until released.
class LockingProcess {
  public:
    explicit LockingProcess(const QString &device) {
        const QByteArray path = QFile::encodeName(device);
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0)
            return;
        if (::pipe(release) != 0) {
            ::close(ready[0]);
            ::close(ready[1]);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and _exit.
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            const char status = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'L' : 'F';
            (void)!::write(ready[1], &status, 1);
            char c;
            (void)!::read(release[0], &c, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        pollfd p{ready[0], POLLIN, 0};
        char status = 0;
        if (pid_ > 0 && ::poll(&p, 1, 5000) > 0 && ::read(ready[0], &status, 1) == 1)
            locked_ = status == 'L';
        ::close(ready[0]);
    }
    ~LockingProcess() { release(); }

    bool locked() const { return locked_; }

    // Lets the process go and waits until it has ended, its lock with it.
    void release() {
        if (release_ >= 0)
            ::close(release_);
        release_ = -1;
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool locked_ = false;
};

} // namespace

Q_DECLARE_METATYPE(CommResult)
Q_DECLARE_METATYPE(ClosedState)
Q_DECLARE_METATYPE(Holder)
Q_DECLARE_METATYPE(PortInventory)

class SerialTest : public QObject {
    Q_OBJECT
  private slots:
    void writesArriveUnchanged_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("line ends") << QByteArray::fromHex("0d0a0a0d");
        QTest::newRow("XON and XOFF") << QByteArray::fromHex("11131311");
        QTest::newRow("terminator 0x1A") << QByteArray::fromHex("1a1a");
        QTest::newRow("restart frame") << QByteArray::fromHex("80c0581a");
        QTest::newRow("signal and editing keys") << QByteArray::fromHex("03041a1c7f1517");
        QTest::newRow("every value") << everyByteValue();
        QTest::newRow("every value, descending") << [] {
            QByteArray b = everyByteValue();
            std::reverse(b.begin(), b.end());
            return b;
        }();
        QTest::newRow("8 KB of every value") << everyByteValue(32);
        QTest::newRow("64 KB of every value") << everyByteValue(256);
    }

    void writesArriveUnchanged() {
        QFETCH(QByteArray, bytes);
        PortOnPty line;
        QVERIFY(line.ready());
        MSComm &comm = line.port;
        QCOMPARE(comm.setPortOpen(false), CommResult::Ok);
        QVERIFY(cookLine(line.pty.slavePath()));
        QCOMPARE(comm.setPortOpen(true), CommResult::Ok);

        QCOMPARE(comm.setOutput(bytes), CommResult::Ok);
        QCOMPARE(comm.setOutput(endMarker()), CommResult::Ok);
        const QByteArray got = line.pty.readUntil(endMarker(), 10s);
        QCOMPARE(got.size(), bytes.size() + endMarker().size());
        QCOMPARE(got, bytes + endMarker());
    }

    void peerBytesAreReadBack_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("every value") << everyByteValue();
        QTest::newRow("line ends") << QByteArray::fromHex("0d0a0a0d");
        QTest::newRow("XON and XOFF") << QByteArray::fromHex("11131311");
        QTest::newRow("signal and editing keys") << QByteArray::fromHex("03041a1c7f151712160f");
        QTest::newRow("reply of three bytes") << QByteArray::fromHex("81c041");
        QTest::newRow("full receive buffer, 1024 bytes") << everyByteValue(4);
    }

    void peerBytesAreReadBack() {
        QFETCH(QByteArray, bytes);
        PortOnPty line;
        QVERIFY(line.ready());
        MSComm &comm = line.port;
        QCOMPARE(comm.setPortOpen(false), CommResult::Ok);
        QVERIFY(cookLine(line.pty.slavePath()));
        QCOMPARE(comm.setPortOpen(true), CommResult::Ok);
        QCOMPARE(comm.setInputMode(1), CommResult::Ok);
        QCOMPARE(comm.inBufferCount(), std::optional<int>(0));

        QVERIFY(line.pty.write(bytes));
        QVERIFY2(waitFor([&] { return comm.inBufferCount() == bytes.size(); }),
                 qPrintable(QStringLiteral("%1 of %2 bytes arrived")
                                .arg(comm.inBufferCount().value_or(-1))
                                .arg(bytes.size())));
        QCOMPARE(comm.input(), std::optional<QByteArray>(bytes));
        QCOMPARE(comm.inBufferCount(), std::optional<int>(0));
    }

    void inputReturnsAtMostInputLen_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("inputLen");
        QTest::addColumn<QByteArrayList>("reads");
        const QByteArray five = QByteArray::fromHex("0102030405");
        QTest::newRow("0 returns all") << five << 0 << QByteArrayList{five, {}};
        QTest::newRow("3 of 5") << five << 3 << QByteArrayList{five.left(3), five.mid(3), {}};
        QTest::newRow("1 at a time")
            << QByteArray::fromHex("0d0a1a") << 1 << QByteArrayList{"\r", "\n", "\x1a", {}};
        QTest::newRow("more than waits") << five.left(2) << 10 << QByteArrayList{five.left(2), {}};
        QTest::newRow("exactly what waits") << five << 5 << QByteArrayList{five, {}};
    }

    void inputReturnsAtMostInputLen() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, inputLen);
        QFETCH(QByteArrayList, reads);
        PortOnPty line;
        QVERIFY(line.ready());
        MSComm &comm = line.port;
        QCOMPARE(comm.setInputMode(1), CommResult::Ok);
        QCOMPARE(comm.setInputLen(inputLen), CommResult::Ok);

        QVERIFY(line.pty.write(bytes));
        QVERIFY(waitFor([&] { return comm.inBufferCount() == bytes.size(); }));
        qsizetype left = bytes.size();
        for (const QByteArray &expected : reads) {
            QCOMPARE(comm.input(), std::optional<QByteArray>(expected));
            left -= expected.size();
            QCOMPARE(comm.inBufferCount(), std::optional<int>(static_cast<int>(left)));
        }
    }

    void countIncludesBytesStillInTheDriver() {
        PortOnPty line;
        QVERIFY(line.ready());
        MSComm &comm = line.port;
        QCOMPARE(comm.setInputMode(1), CommResult::Ok);

        // A caller that has not returned to the event loop since the reply came still sees it.
        const QByteArray reply = QByteArray::fromHex("81c041");
        QVERIFY(line.pty.write(reply));
        QVERIFY(line.pty.waitQueuedOnSlave(reply.size()));
        QCOMPARE(comm.inBufferCount(), std::optional<int>(3));
        QCOMPARE(comm.input(), std::optional<QByteArray>(reply));
    }

    void clearingInputDropsWhatArrived_data() {
        QTest::addColumn<QByteArray>("taken");
        QTest::addColumn<QByteArray>("queued");
        QTest::newRow("taken in by the port") << QByteArray("stale reply") << QByteArray();
        QTest::newRow("still in the driver") << QByteArray() << QByteArray("stale reply");
        QTest::newRow("both") << QByteArray("stale") << QByteArray(" reply");
    }

    void clearingInputDropsWhatArrived() {
        QFETCH(QByteArray, taken);
        QFETCH(QByteArray, queued);
        PortOnPty line;
        QVERIFY(line.ready());
        MSComm &comm = line.port;
        QCOMPARE(comm.setInputMode(1), CommResult::Ok);

        if (!taken.isEmpty()) {
            QVERIFY(line.pty.write(taken));
            QVERIFY(waitFor([&] { return comm.inBufferCount() == taken.size(); }));
        }
        if (!queued.isEmpty()) {
            // Without a turn of the event loop nothing reads these: they stay in the driver.
            QVERIFY(line.pty.write(queued));
            QVERIFY(line.pty.waitQueuedOnSlave(queued.size()));
        }
        QCOMPARE(comm.setInBufferCount(0), CommResult::Ok);
        QCOMPARE(comm.inBufferCount(), std::optional<int>(0));

        const QByteArray fresh = QByteArray::fromHex("81c041");
        QVERIFY(line.pty.write(fresh));
        QVERIFY(waitFor([&] { return comm.inBufferCount() >= fresh.size(); }));
        QCOMPARE(comm.input(), std::optional<QByteArray>(fresh));
    }

    void clearingOutputDiscardsUnsentBytes() {
        PortOnPty line;
        QVERIFY(line.ready());
        MSComm &comm = line.port;

        // Far more than a pty holds while nobody reads the master, so most stays unsent.
        QByteArray unsent;
        for (int i = 0; i < 256 * 1024; ++i)
            unsent.append(static_cast<char>('a' + i % 26));
        QCOMPARE(comm.setOutput(unsent), CommResult::Ok);
        QVERIFY(waitFor([&] { return comm.queuedBytes() < unsent.size(); }));
        QVERIFY(comm.queuedBytes() > 0);

        QCOMPARE(comm.setOutBufferCount(0), CommResult::Ok);
        QCOMPARE(comm.queuedBytes(), 0);
        QCOMPARE(comm.setOutput(endMarker()), CommResult::Ok);

        // What had reached the pty before the discard may still come, the rest never does.
        const QByteArray got = line.pty.readUntil(endMarker(), 10s);
        QVERIFY(got.endsWith(endMarker()));
        const QByteArray passed = got.chopped(endMarker().size());
        QVERIFY2(passed.size() < unsent.size(), "the discarded bytes were sent");
        QCOMPARE(passed, unsent.left(passed.size()));
    }

    // Closing right after a command frame (the operator exits at once) still lets the frame
    // go whole; closing in the middle of a long text drops its rest instead of holding the
    // close until the line has drained.
    void closeKeepsAShortFrameAndDropsALongRest() {
        PortOnPty line;
        QVERIFY(line.ready());
        MSComm &comm = line.port;
        const QByteArray frame = golden("3 to 5, data forward, full screen");
        QCOMPARE(comm.setOutput(frame), CommResult::Ok);
        QCOMPARE(comm.setPortOpen(false), CommResult::Ok);
        QCOMPARE(line.pty.read(frame.size()), frame);

        QCOMPARE(comm.setPortOpen(true), CommResult::Ok);
        const QByteArray text(256 * 1024, 'x');
        QCOMPARE(comm.setOutput(text), CommResult::Ok);
        QVERIFY(waitFor([&] { return comm.queuedBytes() < text.size(); }));
        QCOMPARE(comm.setPortOpen(false), CommResult::Ok);
        QCOMPARE(comm.setPortOpen(true), CommResult::Ok);
        QCOMPARE(comm.setOutput(endMarker()), CommResult::Ok);
        const QByteArray got = line.pty.readUntil(endMarker(), 10s);
        QVERIFY(got.endsWith(endMarker()));
        QVERIFY2(got.size() - endMarker().size() < 8 * 1024,
                 qPrintable(QStringLiteral("%1 bytes of the text went out after the close")
                                .arg(got.size() - endMarker().size())));
    }

    void closedPortOperationsFail_data() {
        QTest::addColumn<ClosedState>("state");
        QTest::newRow("never opened") << ClosedState::NeverOpened;
        QTest::newRow("closed after use") << ClosedState::ClosedAfterUse;
        QTest::newRow("open failed") << ClosedState::OpenFailed;
    }

    void closedPortOperationsFail() {
        QFETCH(ClosedState, state);
        PtyPair pty;
        QVERIFY(pty.isValid());
        const QString device = state == ClosedState::OpenFailed
                                   ? QStringLiteral("/nonexistent/ttyS0")
                                   : pty.slavePath();
        MSComm comm([&](int) { return device; });
        QCOMPARE(comm.setSettings(kLine), CommResult::Ok);
        if (state == ClosedState::ClosedAfterUse) {
            QCOMPARE(comm.setPortOpen(true), CommResult::Ok);
            QCOMPARE(comm.setOutput("sent"), CommResult::Ok);
            QCOMPARE(pty.read(4), QByteArray("sent"));
            QVERIFY(pty.write("waiting"));
            QVERIFY(waitFor([&] { return comm.inBufferCount() == 7; }));
            QCOMPARE(comm.setPortOpen(false), CommResult::Ok);
        } else if (state == ClosedState::OpenFailed) {
            QCOMPARE(comm.setPortOpen(true), CommResult::OpenFailed);
        }

        QVERIFY(!comm.portOpen());
        QCOMPARE(operationsThatDidNotFail(comm), QStringList());
        QCOMPARE(comm.setPortOpen(false), CommResult::Ok);
        QVERIFY(!comm.portOpen());
    }

    void outOfRangeValuesAreRefused() {
        PortOnPty line;
        QVERIFY(line.ready());
        MSComm &comm = line.port;
        QCOMPARE(comm.setInputMode(1), CommResult::Ok);
        QCOMPARE(comm.setInputLen(2), CommResult::Ok);
        QVERIFY(line.pty.write("abc"));
        QVERIFY(waitFor([&] { return comm.inBufferCount() == 3; }));

        QStringList accepted;
        for (const Operation &op : outOfRangeValues()) {
            const CommResult result = op.run(comm);
            if (result != CommResult::InvalidValue)
                accepted << QStringLiteral("%1 gave %2").arg(op.name, resultName(result));
        }
        QCOMPARE(accepted, QStringList());

        // A refused value changes nothing: InputLen is still 2, the received bytes still wait.
        QVERIFY(comm.portOpen());
        QCOMPARE(comm.input(), std::optional<QByteArray>("ab"));
        QCOMPARE(comm.input(), std::optional<QByteArray>("c"));
    }

    void commPortChangesOnlyWhileClosed() {
        PtyPair pty;
        QVERIFY(pty.isValid());
        std::vector<int> asked;
        MSComm comm([&](int number) {
            asked.push_back(number);
            return pty.slavePath();
        });
        QCOMPARE(comm.setCommPort(3), CommResult::Ok);
        QCOMPARE(comm.setSettings(kLine), CommResult::Ok);
        QCOMPARE(comm.setPortOpen(true), CommResult::Ok);
        QCOMPARE(asked, std::vector<int>{3});

        QCOMPARE(comm.setCommPort(4), CommResult::PortAlreadyOpen);
        QCOMPARE(comm.commPort(), 3);
        QVERIFY(comm.portOpen());
        QCOMPARE(comm.setOutput("still open"), CommResult::Ok);
        QCOMPARE(pty.read(10), QByteArray("still open"));

        QCOMPARE(comm.setPortOpen(false), CommResult::Ok);
        QCOMPARE(comm.setCommPort(4), CommResult::Ok);
        QCOMPARE(comm.setPortOpen(true), CommResult::Ok);
        QCOMPARE(asked, (std::vector<int>{3, 4}));
    }

    void commPortRange_data() {
        QTest::addColumn<int>("number");
        QTest::addColumn<CommResult>("expected");
        QTest::newRow("COM1") << 1 << CommResult::Ok;
        QTest::newRow("COM5") << 5 << CommResult::Ok;
        QTest::newRow("COM8") << 8 << CommResult::Ok;
        QTest::newRow("0") << 0 << CommResult::InvalidValue;
        QTest::newRow("-1") << -1 << CommResult::InvalidValue;
        QTest::newRow("COM9, past the fixed items") << 9 << CommResult::Ok;
        QTest::newRow("COM255, Windows's last") << 255 << CommResult::Ok;
        QTest::newRow("256") << 256 << CommResult::InvalidValue;
    }

    void commPortRange() {
        QFETCH(int, number);
        QFETCH(CommResult, expected);
        MSComm comm([](int) { return QStringLiteral("/nonexistent/ttyS0"); });
        QCOMPARE(comm.setCommPort(2), CommResult::Ok);
        QCOMPARE(comm.setCommPort(number), expected);
        QCOMPARE(comm.commPort(), expected == CommResult::Ok ? number : 2);
    }

    void settingsStrings_data() {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<CommResult>("expected");
        QTest::newRow("the tool's line") << "9600,n,8,1" << CommResult::Ok;
        QTest::newRow("parity in capitals") << "9600,N,8,1" << CommResult::Ok;
        QTest::newRow("19200 baud, 2 stop bits") << "19200,n,8,2" << CommResult::Ok;
        QTest::newRow("empty") << "" << CommResult::InvalidValue;
        QTest::newRow("baud only") << "9600" << CommResult::InvalidValue;
        QTest::newRow("three fields") << "9600,n,8" << CommResult::InvalidValue;
        QTest::newRow("five fields") << "9600,n,8,1,1" << CommResult::InvalidValue;
        QTest::newRow("semicolons") << "9600;n;8;1" << CommResult::InvalidValue;
        QTest::newRow("baud not a number") << "fast,n,8,1" << CommResult::InvalidValue;
        QTest::newRow("baud 0") << "0,n,8,1" << CommResult::InvalidValue;
        QTest::newRow("negative baud") << "-9600,n,8,1" << CommResult::InvalidValue;
        QTest::newRow("unknown parity") << "9600,x,8,1" << CommResult::InvalidValue;
        QTest::newRow("9 data bits") << "9600,n,9,1" << CommResult::InvalidValue;
        QTest::newRow("4 data bits") << "9600,n,4,1" << CommResult::InvalidValue;
        QTest::newRow("3 stop bits") << "9600,n,8,3" << CommResult::InvalidValue;
    }

    void settingsStrings() {
        QFETCH(QString, settings);
        QFETCH(CommResult, expected);
        PortOnPty line;
        QVERIFY(line.ready());
        QCOMPARE(line.port.setSettings(settings), expected);
        QVERIFY(line.port.portOpen());
        QCOMPARE(line.port.setPortOpen(false), CommResult::Ok);
        QCOMPARE(line.port.setSettings(settings), expected);
    }

    void absentDeviceFailsToOpen_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing device") << "ttyMissing";
        QTest::newRow("missing directory") << "missing/ttyS0";
        QTest::newRow("regular file") << "file";
        QTest::newRow("directory") << "dir";
    }

    void absentDeviceFailsToOpen() {
        QFETCH(QString, name);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile file(dir.filePath(QStringLiteral("file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("dir")));

        MSComm comm([&](int) { return dir.filePath(name); });
        QCOMPARE(comm.setSettings(kLine), CommResult::Ok);
        QCOMPARE(comm.setPortOpen(true), CommResult::OpenFailed);
        QVERIFY(!comm.portOpen());
        QCOMPARE(comm.inBufferCount(), std::nullopt);
        QCOMPARE(comm.setOutput("x"), CommResult::PortClosed);
    }

    void heldDeviceFailsToOpen_data() {
        QTest::addColumn<Holder>("holder");
        QTest::newRow("second copy of the tool") << Holder::SecondCopy;
        QTest::newRow("descriptor holding flock") << Holder::LockingDescriptor;
        QTest::newRow("another process holding flock") << Holder::LockingProcess;
    }

    void heldDeviceFailsToOpen() {
        QFETCH(Holder, holder);
        PtyPair pty;
        QVERIFY(pty.isValid());
        const PortMapping mapping = [&](int) { return pty.slavePath(); };

        std::unique_ptr<MSComm> first;
        int lockingFd = -1;
        std::unique_ptr<LockingProcess> process;
        const auto closeLockingFd = qScopeGuard([&] {
            if (lockingFd >= 0)
                ::close(lockingFd);
        });
        switch (holder) {
        case Holder::SecondCopy:
            first = std::make_unique<MSComm>(mapping);
            QCOMPARE(first->setSettings(kLine), CommResult::Ok);
            QCOMPARE(first->setPortOpen(true), CommResult::Ok);
            break;
        case Holder::LockingDescriptor:
            lockingFd = ::open(QFile::encodeName(pty.slavePath()).constData(),
                               O_RDWR | O_NOCTTY | O_NONBLOCK);
            QVERIFY(lockingFd >= 0);
            QCOMPARE(::flock(lockingFd, LOCK_EX | LOCK_NB), 0);
            break;
        case Holder::LockingProcess:
            process = std::make_unique<LockingProcess>(pty.slavePath());
            QVERIFY(process->locked());
            break;
        }

        MSComm comm(mapping);
        QCOMPARE(comm.setSettings(kLine), CommResult::Ok);
        QCOMPARE(comm.setPortOpen(true), CommResult::OpenFailed);
        QVERIFY(!comm.portOpen());
        QCOMPARE(comm.setOutput("not mine"), CommResult::PortClosed);

        if (first) {
            // The refused open leaves the holder's port as it was.
            QVERIFY(first->portOpen());
            QCOMPARE(first->setOutput("holder"), CommResult::Ok);
            QCOMPARE(pty.readUntil(QByteArray("holder")), QByteArray("holder"));
            QCOMPARE(first->setPortOpen(false), CommResult::Ok);
        }
        if (lockingFd >= 0)
            ::close(std::exchange(lockingFd, -1));
        if (process)
            process->release();

        QCOMPARE(comm.setPortOpen(true), CommResult::Ok);
        QCOMPARE(comm.setOutput("mine"), CommResult::Ok);
        QCOMPARE(pty.readUntil(QByteArray("mine")), QByteArray("mine"));
    }

    void comNumbersFollowTheMachine_data() {
        QTest::addColumn<PortInventory>("inventory");
        QTest::addColumn<QStringList>("expected"); // COM1..COM8; "-" none, "-ghost" a ghost
        QTest::addColumn<int>("firstListing"); // from this number on, the system's list is asked
        const auto states = [](QList<NodeState> first) {
            std::array<NodeState, kLastCommPort> all{};
            std::copy(first.begin(), first.end(), all.begin());
            return all;
        };
        const auto G = NodeState::Ghost, P = NodeState::Present;
        const auto inventory = [&](QList<NodeState> onboard, QStringList adapters,
                                   QStringList listed = {}) {
            PortInventory i;
            i.onboard = states(onboard);
            i.adapters = adapters;
            i.listed = [listed] { return listed; };
            return i;
        };
        QTest::newRow("laptop: ghosts ttyS0-3, ttyUSB0")
            << inventory({G, G, G, G}, {"/dev/ttyUSB0"})
            << QStringList{"/dev/ttyUSB0", "-ghost", "-ghost", "-ghost", "-"} << 2;
        QTest::newRow("desktop: ttyS0, ghosts ttyS1-3, ttyUSB0, ttyACM0")
            << inventory({P, G, G, G}, {"/dev/ttyACM0", "/dev/ttyUSB0"})
            << QStringList{"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyACM0", "-ghost", "-"} << 4;
        QTest::newRow("no adapter: ttyS0-3")
            << inventory({P, P, P, P}, {})
            << QStringList{"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3", "-"} << 5;
        // A node whose type cannot be read (no permission) or that is no UART is Present.
        QTest::newRow("type unknown to us keeps the number, gap filled by an adapter")
            << inventory({P, NodeState::Absent, P}, {"/dev/ttyUSB0"})
            << QStringList{"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyS2", "-", "-"} << 4;
        QTest::newRow("ttyUSB10 after ttyUSB9, ACM after USB")
            << inventory({}, {"/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyUSB9", "/dev/ttyUSB2"})
            << QStringList{"/dev/ttyUSB2", "/dev/ttyUSB9", "/dev/ttyUSB10", "/dev/ttyACM0", "-"}
            << 5;
        QTest::newRow("listed ports after the adapters, by name, none twice")
            << inventory({G}, {"/dev/ttyUSB0"},
                         {"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyAMA0", "/dev/rfcomm0"})
            << QStringList{"/dev/ttyUSB0", "/dev/rfcomm0", "/dev/ttyAMA0", "-", "-"} << 2;
        QTest::newRow("nothing at all") << inventory({}, {}) << QStringList{"-", "-", "-"} << 1;
    }

    void comNumbersFollowTheMachine() {
        QFETCH(PortInventory, inventory);
        QFETCH(QStringList, expected);
        QFETCH(int, firstListing);
        // Listing the system's ports walks the whole device database: only a number past the
        // on-board ports and the adapters asks for it.
        int asked = 0;
        inventory.listed = [&, listed = inventory.listed] { return ++asked, listed(); };
        for (int n = 1; n <= expected.size(); ++n) {
            asked = 0;
            const PortTarget t = assignPort(n, inventory);
            const QString got = !t.device.isEmpty() ? t.device : t.ghost.isEmpty() ? "-" : "-ghost";
            QCOMPARE(got, expected[n - 1]);
            QCOMPARE(asked > 0, n >= firstListing);
        }
        QCOMPARE(assignPort(0, inventory).device, QString());
        QCOMPARE(assignPort(9, inventory).device, QString());
    }

    // The node's own port type decides: a ghost only where the kernel says type 0 of an
    // on-board UART (major 4, minor 64 on); a pty bound there is no ghost.
    void onboardNodeStates() {
        QTemporaryDir root;
        const QString dev = root.filePath("dev"), sys = root.filePath("sys");
        QVERIFY(QDir().mkpath(dev) && QDir().mkpath(sys + "/dev/char"));
        if (::mknod(QFile::encodeName(dev + "/ttyS1").constData(), S_IFCHR | 0600,
                    makedev(4, 65)) != 0)
            QSKIP("making a device node needs root");
        QVERIFY(::mknod(QFile::encodeName(dev + "/ttyS2").constData(), S_IFCHR | 0600,
                        makedev(4, 66)) == 0);
        QVERIFY(::mknod(QFile::encodeName(dev + "/ttyS3").constData(), S_IFCHR | 0600,
                        makedev(4, 67)) == 0);
        PtyPair pty;
        QVERIFY(QFile::link(pty.slavePath(), dev + "/ttyS0"));
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(pty.slavePath()).constData(), &st) == 0);
        const auto typeFile = [&](const QString &node, const QByteArray &type) {
            QVERIFY(QDir().mkpath(sys + "/dev/char/" + node));
            QFile f(sys + "/dev/char/" + node + "/type");
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(type) == type.size());
        };
        typeFile(QStringLiteral("%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev)), "0\n");
        typeFile("4:65", "0\n");
        typeFile("4:66", "4\n"); // 16550A
        // ttyS3 has no type file: what cannot be learned is no proof of a ghost.
        const PortInventory found = systemInventory(dev, sys);
        const std::array<NodeState, 5> expected{NodeState::Present, NodeState::Ghost,
                                                NodeState::Present, NodeState::Present,
                                                NodeState::Absent};
        for (int k = 0; k < 5; ++k)
            QCOMPARE(found.onboard[k], expected[k]);
    }

    // Adapters found as device nodes, worked out afresh at each open: ptys at ttyUSB0 and
    // ttyACM0 with no on-board port are COM1 and COM2, a ttyUSB1 added later moves ttyACM0 to
    // COM3, and COM4 has no device.
    void adaptersReachedThroughTheSerialLayer() {
        QTemporaryDir dev;
        PtyPair usb0, acm0, usb1;
        QVERIFY(QFile::link(usb0.slavePath(), dev.filePath("ttyUSB0")));
        QVERIFY(QFile::link(acm0.slavePath(), dev.filePath("ttyACM0")));
        MSComm comm([&](int n) { return assignPort(n, systemInventory(dev.path(), dev.path())); });
        const auto reaches = [&](int number, PtyPair &pty) {
            if (comm.setPortOpen(false) != CommResult::Ok ||
                comm.setCommPort(number) != CommResult::Ok ||
                comm.setSettings(kLine) != CommResult::Ok ||
                comm.setPortOpen(true) != CommResult::Ok)
                return false;
            const QByteArray frame = QByteArray::fromHex("81c0581a") + QByteArray::number(number);
            return comm.setOutput(frame) == CommResult::Ok && pty.read(frame.size()) == frame;
        };
        QVERIFY(reaches(1, usb0));
        QVERIFY(reaches(2, acm0));
        QVERIFY(QFile::link(usb1.slavePath(), dev.filePath("ttyUSB1")));
        QVERIFY(reaches(2, usb1));
        QVERIFY(reaches(3, acm0));
        QCOMPARE(comm.setPortOpen(false), CommResult::Ok);
        QCOMPARE(comm.setCommPort(4), CommResult::Ok);
        QCOMPARE(comm.setPortOpen(true), CommResult::OpenFailed);
        QCOMPARE(comm.openError().kind, OpenError::NoDevice);
    }

    void lostPortCloses_data() {
        QTest::addColumn<int>("pending");
        QTest::newRow("idle") << 0;
        QTest::newRow("output pending") << 256 * 1024;
    }

    void lostPortCloses() {
        QFETCH(int, pending);
        PortOnPty line;
        QVERIFY(line.ready());
        MSComm &comm = line.port;
        QCOMPARE(comm.setInputMode(1), CommResult::Ok);
        if (pending > 0) {
            QCOMPARE(comm.setOutput(QByteArray(pending, 'p')), CommResult::Ok);
            QVERIFY(waitFor([&] { return comm.queuedBytes() < pending; }));
            QVERIFY(comm.queuedBytes() > 0);
        }

        line.pty.closeMaster();
        const bool closed = waitIdleFor([&] { return !comm.portOpen(); }, 3s);

        // A dead descriptor left in the event loop would keep it busy: over half a second the
        // process must idle.
        const IdleCost cost = measureIdle(500ms);
        QVERIFY2(closed,
                 qPrintable(QStringLiteral("the port still counts as open; ") + cost.text()));
        QVERIFY2(!cost.spinning(), qPrintable(cost.text()));
        QCOMPARE(operationsThatDidNotFail(comm), QStringList());
        QCOMPARE(comm.setPortOpen(false), CommResult::Ok);
    }
};

STRAVIK_SUITE("serial", SerialTest);
#include "test_serial.moc"
