#include "tests/suites.h"
#include "tests/support/cardprocess.h"
#include "tests/support/fixtures.h"
#include "tests/support/golden.h"
#include "tests/support/idle.h"
#include "tests/support/pty.h"
#include "tests/support/recordingform.h"
#include "texts/messages.h"
#include "window/lamp.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTest>
#include <QTimer>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

const QColor kRed(255, 0, 0);
const QColor kBlack(0, 0, 0);

// The master's line discipline keeps up to 4 KB that the slave's side has already handed
// over; discarding the output on the slave cannot reach them. (A UART's transmit FIFO, the
// counterpart on a real line, keeps 16 bytes.)
constexpr qsizetype kPtyReadQueue = 4096;

// A 9600 baud line with 8N1 framing carries 960 bytes a second.
constexpr int kLineBytesPerSecond = 960;

// A display text of ASCII letters and digits whose frame to card 1 is `frameBytes` long.
QString longText(qsizetype frameBytes) {
    static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    QString text;
    text.reserve(frameBytes - 4);
    for (qsizetype i = 0; i < frameBytes - 4; ++i)
        text += QLatin1Char(alphabet[i % (sizeof alphabet - 1)]);
    return text;
}

QByteArray displayFrameTo1(const QString &asciiText) {
    return QByteArray::fromHex("81c044") + asciiText.toLatin1() + QByteArray::fromHex("1a");
}

// Reads the master of a pty on a thread of its own at the pace of a serial line, so that the
// tool's writes back up as they do on a real line while the window's thread stays the
// tool's alone. A rate of 0 reads as fast as bytes come.
class LineDrain {
  public:
    LineDrain(int fd, int bytesPerSecond) : fd_(fd), rate_(bytesPerSecond) {
        thread_ = std::thread([this] { run(); });
    }
    ~LineDrain() { stop(); }
    LineDrain(const LineDrain &) = delete;
    LineDrain &operator=(const LineDrain &) = delete;

    void setRate(int bytesPerSecond) {
        std::lock_guard lock(mutex_);
        rate_ = bytesPerSecond;
        paceStart_ = std::chrono::steady_clock::now();
        paceCount_ = 0;
    }

    QByteArray received() const {
        std::lock_guard lock(mutex_);
        return got_;
    }

    qsizetype count() const {
        std::lock_guard lock(mutex_);
        return got_.size();
    }

    void stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

  private:
    void run() {
        char buf[4096];
        while (!stop_) {
            qsizetype allowed = sizeof buf;
            {
                std::lock_guard lock(mutex_);
                if (rate_ > 0) {
                    const std::chrono::duration<double> elapsed =
                        std::chrono::steady_clock::now() - paceStart_;
                    allowed = qMin<qsizetype>(
                        sizeof buf, static_cast<qsizetype>(elapsed.count() * rate_) - paceCount_);
                }
            }
            if (allowed <= 0) {
                ::poll(nullptr, 0, 5);
                continue;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN))
                continue;
            const ssize_t n = ::read(fd_, buf, static_cast<size_t>(allowed));
            if (n > 0) {
                std::lock_guard lock(mutex_);
                got_.append(buf, n);
                paceCount_ += n;
            }
        }
    }

    int fd_;
    int rate_;
    std::chrono::steady_clock::time_point paceStart_ = std::chrono::steady_clock::now();
    qsizetype paceCount_ = 0;
    QByteArray got_;
    mutable std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// How late the event loop serves a timer of 10 ms: the longest gap between two ticks beyond
// the interval, and the number of ticks.
class LoopProbe {
  public:
    LoopProbe() {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            if (now - last_ - kIntervalNs > maxLateNs_) {
                maxLateNs_ = now - last_ - kIntervalNs;
                worstAtNs_ = now;
            }
            last_ = now;
            ++ticks_;
        });
        clock_.start();
        timer_.start(std::chrono::milliseconds(kIntervalNs / 1000000));
    }

    double maxLateMs() const { return static_cast<double>(maxLateNs_) / 1e6; }
    // When the longest gap ended, in ms since the probe started.
    double worstAtMs() const { return static_cast<double>(worstAtNs_) / 1e6; }
    int ticks() const { return ticks_; }

  private:
    static constexpr qint64 kIntervalNs = 10'000'000;
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 maxLateNs_ = 0;
    qint64 worstAtNs_ = 0;
    int ticks_ = 0;
};

// Lets the window lay out and paint what it was given: a text box that takes a long text
// lays it out again when its scroll bar appears, which costs the window a few hundred ms. That
// cost is the text's, not the line's, so it is paid before the line gets busy.
void settle(QWidget &window) {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
    window.repaint();
}

// A window on a pty with a display text whose frame to card 1 is 32,000 bytes long typed in,
// about 33 s on a 9600 baud line; once drain() is called the master is read at that pace.
struct BusyLine {
    // Whether the window came up; the inputs and the long text are then in place.
    bool ready() {
        if (!window.ready())
            return false;
        setKnownInputs(form);
        form.RichTextBox2->setPlainText(text);
        settle(form);
        return true;
    }
    void drain() { line.emplace(window.pty.masterFd(), kLineBytesPerSecond); }
    // Sends the long text and waits until the line has carried a second of it, with most of it
    // still to come.
    bool sendForASecond() {
        click(form.Command7);
        return waitIdleFor([&] { return line->count() >= kLineBytesPerSecond; }, 5s);
    }

    WindowOnPty window;
    RecordingForm &form = window.form;
    const QString text = longText(32000);
    const QByteArray frame = displayFrameTo1(text);
    std::optional<LineDrain> line;
};

std::chrono::milliseconds secondsFromEnvironment(const char *name, double fallback) {
    bool ok = false;
    const double seconds = qEnvironmentVariable(name).toDouble(&ok);
    return std::chrono::milliseconds(
        static_cast<qint64>((ok && seconds > 0 ? seconds : fallback) * 1000));
}

// The pids holding a flock, from /proc/locks.
QList<qint64> flockHolders() {
    QFile locks(QStringLiteral("/proc/locks"));
    QList<qint64> pids;
    if (!locks.open(QIODevice::ReadOnly))
        return pids;
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 4 && f[1] == "FLOCK")
            pids << f[4].toLongLong();
    }
    return pids;
}

enum class LostWhile { Idle, SendingLongText, AwaitingReply, ReplyUnread };

} // namespace

Q_DECLARE_METATYPE(LostWhile)

class FaultsTest : public QObject {
    Q_OBJECT
  private slots:
    // The device goes away under the window (an adapter pulled; here the pty's peer hangs
    // up). The window neither crashes, hangs nor spins; the commands then say the port is
    // closed and send nothing; once the device is back, choosing the port opens it again.
    void lostPortAtTheWindow_data() {
        QTest::addColumn<LostWhile>("when");
        QTest::newRow("idle") << LostWhile::Idle;
        QTest::newRow("sending a long display text") << LostWhile::SendingLongText;
        QTest::newRow("waiting for a restart reply") << LostWhile::AwaitingReply;
        QTest::newRow("reply arrived, timer not yet fired") << LostWhile::ReplyUnread;
    }
    void lostPortAtTheWindow() {
        QFETCH(LostWhile, when);
        auto first = std::make_unique<PtyPair>();
        QVERIFY(first->isValid());
        auto device = std::make_shared<QString>(first->slavePath());
        RecordingForm form(device);
        QVERIFY(form.load());
        setKnownInputs(form);
        int ticks = 0;
        QObject::connect(&form.card, &CardCommands::replyRead, &form, [&] { ++ticks; });
        switch (when) {
        case LostWhile::Idle:
            break;
        case LostWhile::SendingLongText: {
            // 32,000 bytes: a pty takes about 20 KB while nobody reads, so the rest waits in
            // the port's own buffer when the line goes.
            const QString text = longText(32000);
            form.RichTextBox2->setPlainText(text);
            click(form.Command7);
            QVERIFY(waitFor([&] { return form.MSComm1.queuedBytes() < 32000; }));
            qInfo("%lld bytes wait in the port's buffer",
                  static_cast<long long>(form.MSComm1.queuedBytes()));
            break;
        }
        case LostWhile::AwaitingReply:
        case LostWhile::ReplyUnread:
            click(form.Command2);
            QCOMPARE(first->read(4), knownFrame(2));
            QVERIFY(form.Timer1.isActive());
            if (when == LostWhile::ReplyUnread) {
                QVERIFY(first->write(QByteArray::fromHex("00010002000c11000100")));
                QVERIFY(waitFor([&] { return form.MSComm1.inBufferCount() == 10; }));
            }
            break;
        }
        const QStringList lists = listTexts(form);
        const QString caption7Before = form.Command7->text();

        QElapsedTimer sinceLoss;
        sinceLoss.start();
        first->closeMaster();
        // The serial layer tells the window, which turns the lamp black as after a failed
        // open: a red lamp over commands that all say the port is closed would be a lie.
        const bool black = waitIdleFor([&] { return form.spDTR->fillColor() == kBlack; }, 1s);
        const qint64 blackAfter = sinceLoss.elapsed();
        const bool closed = waitIdleFor([&] { return !form.MSComm1.portOpen(); }, 3s);
        const IdleCost cost = measureIdle();
        QVERIFY2(closed,
                 qPrintable(QStringLiteral("the port still counts as open; ") + cost.text()));
        QVERIFY2(black,
                 qPrintable(
                     QStringLiteral("the lamp is not black %1 ms after the loss").arg(blackAfter)));
        QVERIFY2(!cost.spinning(), qPrintable(cost.text()));
        qInfo("lost port, %s: %s", QTest::currentDataTag(), qPrintable(cost.text()));

        // A reply timer that was running fires once, finds the port closed and changes nothing;
        // the loss starts none. The ticks are counted once more at the end, after the restart
        // on the new device has had its own.
        const bool awaited = when == LostWhile::AwaitingReply || when == LostWhile::ReplyUnread;
        QVERIFY(waitFor([&] { return ticks == int(awaited) && !form.Timer1.isActive(); }, 3s));
        QCOMPARE(listTexts(form), lists);
        QCOMPARE(form.Command7->text(), caption7Before);
        QCOMPARE(form.shown(), QStringList());
        QCOMPARE(form.spDTR->fillColor(), kBlack);
        QVERIFY(form.isVisible());

        for (const int command : {1, 2, 6, 7}) {
            click(commandButton(form, command));
            QCOMPARE(form.shown(), QStringList{errorMessage(msg::kPortNotOpen)});
            form.messages.clear();
            QVERIFY(!form.Timer1.isActive());
            QCOMPARE(form.MSComm1.queuedBytes(), 0);
        }
        QCOMPARE(form.Command7->text(), caption7Before);
        QCOMPARE(form.spDTR->fillColor(), kBlack);

        // While the device is still away, choosing the port fails as for an absent one.
        *device = QStringLiteral("/nonexistent/stravik-pulled-adapter");
        form.choosePort(1);
        QCOMPARE(form.shown(), QStringList{errorMessage(msg::kOpenFailed)});
        QCOMPARE(form.spDTR->fillColor(), kBlack);
        QVERIFY(!form.MSComm1.portOpen());
        form.messages.clear();

        // The device is back (as a new pty): the port opens and the commands reach it, with
        // nothing left over from before the loss.
        first.reset();
        PtyPair second;
        QVERIFY(second.isValid());
        *device = second.slavePath();
        form.choosePort(1);
        QCOMPARE(form.shown(), QStringList());
        QCOMPARE(form.spDTR->fillColor(), kRed);
        QVERIFY(form.MSComm1.portOpen());
        QCOMPARE(form.sentBeforeMarker(second), QByteArray());
        form.RichTextBox2->setPlainText(QStringLiteral("AB"));
        for (const int command : {1, 6, 7, 2}) {
            click(commandButton(form, command));
            QCOMPARE(form.sentBeforeMarker(second), knownFrame(command));
        }
        QCOMPARE(form.shown(), QStringList());
        QVERIFY(waitFor([&] { return !form.Timer1.isActive(); }));
        QCOMPARE(ticks, int(awaited) + 1);

        click(form.Command3);
        QVERIFY(!form.isVisible());
        QVERIFY(!form.MSComm1.portOpen());
    }

    // A display text of 32,000 bytes takes about 33 s on a 9600 baud line. The master is
    // read at that pace; meanwhile the window's event loop must keep turning.
    // STRAVIK_BUSY_LINE_SECONDS sets how long to watch (3 s by default; 35 s sees the whole
    // frame through).
    void busyLineKeepsTheWindowAnswering() {
        BusyLine busy;
        QVERIFY(busy.ready());
        RecordingForm &form = busy.form;
        const QByteArray &frame = busy.frame;
        const auto watch = secondsFromEnvironment("STRAVIK_BUSY_LINE_SECONDS", 3);

        busy.drain();
        LineDrain &line = *busy.line;
        LoopProbe probe;
        QElapsedTimer clock;
        clock.start();
        click(form.Command7);
        const qint64 clickMs = clock.elapsed();
        QVERIFY(form.MSComm1.queuedBytes() > 0);

        // The watch lasts until the line has carried what it carries in `watch`, at least half
        // its rate: within twice that time. Half way through, keys come as the system hands them
        // over, from outside the window's thread at a moment of their own: they reach the text
        // box within a second only while the event loop keeps turning.
        const qint64 target =
            qMin<qint64>(watch.count() * kLineBytesPerSecond / 1000, frame.size());
        std::atomic<qint64> postedMs{-1};
        qint64 typedMs = -1;
        QObject typing; // ends the connection before what it uses
        QObject::connect(form.RichTextBox1, &QPlainTextEdit::textChanged, &typing, [&] {
            if (typedMs < 0 && form.RichTextBox1->toPlainText().contains(QStringLiteral("typed")))
                typedMs = clock.elapsed() - postedMs;
        });
        // Made here: a key event made on another thread would make Qt's keyboard device there.
        std::vector<std::unique_ptr<QKeyEvent>> keys;
        for (const QChar key : QStringLiteral("typed"))
            keys.push_back(std::make_unique<QKeyEvent>(QEvent::KeyPress, 0, Qt::NoModifier, key));
        const std::jthread typist([&](std::stop_token stop) {
            while (line.count() < target / 2 && !stop.stop_requested())
                ::poll(nullptr, 0, 5);
            postedMs = clock.elapsed();
            for (auto &key : keys)
                QCoreApplication::postEvent(form.RichTextBox1, key.release());
        });
        QVERIFY2(waitIdleFor([&] { return line.count() >= target && typedMs >= 0; }, 2 * watch),
                 qPrintable(QStringLiteral("%1 of %2 bytes after %3 ms, keys typed: %4")
                                .arg(line.count())
                                .arg(target)
                                .arg(clock.elapsed())
                                .arg(typedMs >= 0)));
        const qint64 watchedMs = clock.elapsed();
        const QByteArray got = line.received();
        qInfo("busy line, %lld ms watched: %lld bytes through, %lld still in the port's "
              "buffer; click took %lld ms, typing %lld ms; event loop at most %.1f ms late "
              "(at %.0f ms; %d ticks of 10 ms)",
              static_cast<long long>(watchedMs), static_cast<long long>(got.size()),
              static_cast<long long>(form.MSComm1.queuedBytes()), static_cast<long long>(clickMs),
              static_cast<long long>(typedMs), probe.maxLateMs(), probe.worstAtMs(), probe.ticks());

        QCOMPARE(got, frame.left(got.size()));
        QVERIFY2(typedMs < 1000, qPrintable(QString::number(typedMs)));
        QVERIFY2(probe.maxLateMs() < 1000, qPrintable(QString::number(probe.maxLateMs())));
        QVERIFY(probe.ticks() >= watchedMs / 10 / 4);
        QVERIFY(clickMs < 1000);
    }

    // A command given while a long frame drains discards its unsent rest, both what waits in
    // the port's buffer and what waits in the driver, and its own frame follows intact.
    void commandDuringBusyLineDiscardsTheRest_data() {
        QTest::addColumn<int>("command");
        for (const int command : {7, 6, 1, 2})
            QTest::addRow("Command%d", command) << command;
    }
    void commandDuringBusyLineDiscardsTheRest() {
        QFETCH(int, command);
        BusyLine busy;
        QVERIFY(busy.ready());
        RecordingForm &form = busy.form;
        busy.drain();
        LineDrain &line = *busy.line;
        LoopProbe probe;
        QVERIFY(busy.sendForASecond());
        const qint64 pendingBefore = form.MSComm1.queuedBytes();
        QVERIFY(pendingBefore > 0);
        form.RichTextBox2->setPlainText(QStringLiteral("AB"));
        QElapsedTimer t;
        t.start();
        click(commandButton(form, command));
        const qint64 commandMs = t.elapsed();
        const qsizetype throughAtCommand = line.count();
        QVERIFY(form.MSComm1.queuedBytes() <= knownFrame(command).size());
        // The discarded rest takes no reply with it: a restart still awaits its own.
        QCOMPARE(form.Timer1.isActive(), command == 2);
        QCOMPARE(form.MSComm1.setOutput(endMarker()), CommResult::Ok);
        line.setRate(0);
        QVERIFY(waitFor([&] { return line.received().endsWith(endMarker()); }, 10s));
        QByteArray got = line.received();
        got.chop(endMarker().size());
        QVERIFY(got.endsWith(knownFrame(command)));
        got.chop(knownFrame(command).size());
        qInfo("Command%d during a busy line: %lld bytes had gone, %lld waited in the port, "
              "%lld of the old frame arrived in all; the command took %lld ms, the event loop "
              "was at most %.1f ms late (at %.0f ms)",
              command, static_cast<long long>(throughAtCommand),
              static_cast<long long>(pendingBefore), static_cast<long long>(got.size()),
              static_cast<long long>(commandMs), probe.maxLateMs(), probe.worstAtMs());
        QCOMPARE(got, busy.frame.left(got.size()));
        QVERIFY2(got.size() <= throughAtCommand + kPtyReadQueue,
                 qPrintable(QStringLiteral("%1 bytes of the old frame arrived, %2 had gone")
                                .arg(got.size())
                                .arg(throughAtCommand)));
        QVERIFY(commandMs < 1000);
        QCOMPARE(form.shown(), QStringList());
    }

    // Exit during a busy line ends the window at once; the rest of the frame is not sent,
    // neither what waits in the port's buffer nor what waits in the driver.
    void exitDuringBusyLine_data() {
        QTest::addColumn<bool>("byButton");
        QTest::newRow("退     出") << true;
        QTest::newRow("the window's close box") << false;
    }
    void exitDuringBusyLine() {
        QFETCH(bool, byButton);
        BusyLine busy;
        QVERIFY(busy.ready());
        RecordingForm &form = busy.form;
        busy.drain();
        LineDrain &line = *busy.line;
        QVERIFY(busy.sendForASecond());
        const qint64 pendingBefore = form.MSComm1.queuedBytes();
        QVERIFY(pendingBefore > 0);
        QElapsedTimer t;
        t.start();
        if (byButton)
            click(form.Command3);
        else
            form.close();
        const qint64 exitMs = t.elapsed();
        const qsizetype throughAtExit = line.count();
        QVERIFY(!form.isVisible());
        QVERIFY(!form.MSComm1.portOpen());
        QVERIFY2(exitMs < 500, qPrintable(QStringLiteral("exit took %1 ms").arg(exitMs)));

        line.setRate(0);
        QVERIFY(busy.window.pty.writeIntoSlave(endMarker()));
        QVERIFY(waitFor([&] { return line.received().endsWith(endMarker()); }, 10s));
        QByteArray got = line.received();
        got.chop(endMarker().size());
        qInfo("exit during a busy line took %lld ms; %lld bytes had gone, %lld waited in the "
              "port; %lld of %lld bytes arrived in all",
              static_cast<long long>(exitMs), static_cast<long long>(throughAtExit),
              static_cast<long long>(pendingBefore), static_cast<long long>(got.size()),
              static_cast<long long>(busy.frame.size()));
        QCOMPARE(got, busy.frame.left(got.size()));
        // Nothing more goes than what the pty's far side had already taken: a serial driver
        // would otherwise hold the close, and the window with it, until it had sent the rest.
        QVERIFY2(got.size() <= throughAtExit + kPtyReadQueue,
                 qPrintable(QStringLiteral("%1 bytes arrived, %2 had gone at the exit")
                                .arg(got.size())
                                .arg(throughAtExit)));
    }

    // A second window on the port that the first holds is refused with the busy/absent
    // message; once the first has gone, choosing the port in the second opens it.
    void secondWindowCannotOpenTheHeldPort() {
        PtyPair pty;
        QVERIFY(pty.isValid());
        const auto device = std::make_shared<QString>(pty.slavePath());
        auto first = std::make_unique<RecordingForm>(device);
        QVERIFY(first->load());
        setKnownInputs(*first);

        RecordingForm second(device);
        second.Form_Load();
        second.show();
        const QStringList busy{errorMessage(msg::kOpenFailed)};
        QCOMPARE(second.shown(), busy);
        QCOMPARE(second.spDTR->fillColor(), kBlack);
        QVERIFY(!second.MSComm1.portOpen());
        second.messages.clear();
        setKnownInputs(second);

        // The second sends nothing; the first still owns the line.
        click(second.Command7);
        QCOMPARE(second.shown(), QStringList{errorMessage(msg::kPortNotOpen)});
        second.messages.clear();
        click(first->Command2);
        QCOMPARE(first->sentBeforeMarker(pty), knownFrame(2));

        second.choosePort(1);
        QCOMPARE(second.shown(), busy);
        QCOMPARE(second.spDTR->fillColor(), kBlack);
        second.messages.clear();
        QVERIFY(first->MSComm1.portOpen());
        click(first->Command6);
        QCOMPARE(first->sentBeforeMarker(pty), knownFrame(6));

        click(first->Command3);
        QVERIFY(!first->MSComm1.portOpen());
        second.choosePort(1);
        QCOMPARE(second.shown(), QStringList());
        QCOMPARE(second.spDTR->fillColor(), kRed);
        click(second.Command7);
        QCOMPARE(second.sentBeforeMarker(pty), knownFrame(7));

        // And now the first, started again, is the one refused.
        first = std::make_unique<RecordingForm>(device);
        first->Form_Load();
        QCOMPARE(first->shown(), busy);
        QCOMPARE(first->spDTR->fillColor(), kBlack);
        QVERIFY(second.MSComm1.portOpen());
    }

    // Programs that follow either locking convention stay off the window's port: flock on the
    // device, and the lock file in the system's lock directory naming the holder.
    void otherProgramsCannotTakeTheHeldPort() {
        const QString flockProgram = QStandardPaths::findExecutable(QStringLiteral("flock"));
        if (flockProgram.isEmpty())
            QSKIP("flock (util-linux) is not installed");
        WindowOnPty window;
        QVERIFY(window.ready());
        const PtyPair &pty = window.pty;

        const auto tryLock = [&] {
            return QProcess::execute(flockProgram, {QStringLiteral("--nonblock"), pty.slavePath(),
                                                    QStringLiteral("true")});
        };
        QCOMPARE(tryLock(), 1);

        // The lock file: LCK.. and the device's name below /dev with '/' as '_'.
        const QString name =
            QStringLiteral("LCK..") +
            pty.slavePath().mid(QStringLiteral("/dev/").size()).replace(u'/', u'_');
        QString lockFile;
        for (const QString &dir : {QStringLiteral("/var/lock"), QStringLiteral("/run/lock")}) {
            if (QFileInfo::exists(dir + u'/' + name)) {
                lockFile = dir + u'/' + name;
                break;
            }
        }
        QVERIFY2(!lockFile.isEmpty(), qPrintable(name + QStringLiteral(" not found")));
        QFile lock(lockFile);
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readLine().trimmed().toLongLong(),
                 qint64(QCoreApplication::applicationPid()));
        lock.close();

        click(window.form.Command3);
        QCOMPARE(tryLock(), 0);
        QVERIFY(!QFileInfo::exists(lockFile));
    }

    // A program that holds the port by a lock file in the system's lock directory keeps the
    // window out, whatever the file's format, as long as the process it names lives; a lock
    // left by a process that has ended does not.
    void portHeldByLockFile_data() {
        QTest::addColumn<QString>("format"); // %1 is the process id
        QTest::addColumn<int>("ageSeconds");
        QTest::addColumn<bool>("holderLives");
        QTest::newRow("UUCP and cu: the process id in ASCII")
            << QStringLiteral("%1\n").arg(QStringLiteral("%1"), 10) << 0 << true;
        QTest::newRow("minicom: process id, program and user, 40 s old")
            << QStringLiteral("%1 minicom root\n").arg(QStringLiteral("%1"), 10) << 40 << true;
        QTest::newRow("Qt: process id, program and host")
            << QStringLiteral("%1\nsleep\n") + QSysInfo::machineHostName() + u'\n' << 0 << true;
        QTest::newRow("UUCP, the process has ended")
            << QStringLiteral("%1\n").arg(QStringLiteral("%1"), 10) << 0 << false;
    }
    void portHeldByLockFile() {
        QFETCH(QString, format);
        QFETCH(int, ageSeconds);
        QFETCH(bool, holderLives);
        PtyPair pty;
        QVERIFY(pty.isValid());

        QProcess holder;
        holder.start(QStringLiteral("sleep"),
                     {holderLives ? QStringLiteral("600") : QStringLiteral("0")});
        QVERIFY(holder.waitForStarted());
        const qint64 pid = holder.processId();
        if (!holderLives)
            QVERIFY(holder.waitForFinished());
        const auto endHolder = qScopeGuard([&] {
            holder.kill();
            holder.waitForFinished();
        });

        const QString lockPath =
            QStringLiteral("/var/lock/LCK..") + pty.slavePath().mid(5).replace(u'/', u'_');
        QFile lock(lockPath);
        if (!lock.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            QSKIP(qPrintable(QStringLiteral("cannot create ") + lockPath));
        const auto removeLock = qScopeGuard([&] { QFile::remove(lockPath); });
        lock.write(format.arg(pid).toLatin1());
        lock.close();
        QVERIFY(lock.open(QIODevice::ReadWrite));
        QVERIFY(lock.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                                 QFileDevice::FileModificationTime));
        lock.close();

        auto device = std::make_shared<QString>(pty.slavePath());
        auto form = std::make_unique<RecordingForm>(device);
        form->Form_Load();
        form->show();
        if (!holderLives) {
            QCOMPARE(form->shown(), QStringList());
            QCOMPARE(form->spDTR->fillColor(), kRed);
        } else {
            QCOMPARE(form->shown(), QStringList{errorMessage(msg::kOpenFailed)});
            QCOMPARE(form->spDTR->fillColor(), kBlack);
            QVERIFY(!form->MSComm1.portOpen());
            QFile still(lockPath);
            QVERIFY2(still.open(QIODevice::ReadOnly), "the holder's lock file was removed");
            QCOMPARE(QString::fromLatin1(still.readAll()), format.arg(pid));
            form->messages.clear();

            holder.kill();
            QVERIFY(holder.waitForFinished());
            form->choosePort(1);
            QCOMPARE(form->shown(), QStringList());
            QCOMPARE(form->spDTR->fillColor(), kRed);
        }
        setKnownInputs(*form);
        click(form->Command7);
        QCOMPARE(form->sentBeforeMarker(pty), knownFrame(7));
        form.reset();
    }

    // The tool as a process of its own holds the port; the window here gets the busy/absent
    // message and sends nothing, and gets the port once that tool has ended. The tool runs
    // with the pty routed over /dev/ttyS0.
    void portHeldByAnotherToolProcess() {
        if (!QFileInfo(stravikProgram()).isExecutable())
            QSKIP("the tool is not built beside the tests");
        PtyPair pty;
        QVERIFY(pty.isValid());

        QProcess tool;
        tool.setProcessChannelMode(QProcess::MergedChannels);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        tool.setProcessEnvironment(env);
        tool.start(QStringLiteral(STRAVIK_ROUTE_PORTS), {pty.slavePath() + QStringLiteral(":ttyS0"),
                                                         QStringLiteral("--"), stravikProgram()});
        QVERIFY(tool.waitForStarted());
        const auto stopTool = qScopeGuard([&] {
            tool.terminate();
            if (!tool.waitForFinished(5000))
                tool.kill();
            tool.waitForFinished(5000);
        });
        const qint64 pid = tool.processId();
        if (!waitFor(
                [&] { return flockHolders().contains(pid) || tool.state() != QProcess::Running; },
                20s) ||
            tool.state() != QProcess::Running)
            QSKIP(qPrintable(QStringLiteral("the tool did not take the port in a namespace: ") +
                             QString::fromLocal8Bit(tool.readAll())));

        RecordingForm form(pty);
        form.Form_Load();
        form.show();
        QCOMPARE(form.shown(), QStringList{errorMessage(msg::kOpenFailed)});
        QCOMPARE(form.spDTR->fillColor(), kBlack);
        form.messages.clear();
        setKnownInputs(form);
        click(form.Command2);
        QCOMPARE(form.shown(), QStringList{errorMessage(msg::kPortNotOpen)});
        form.messages.clear();
        QVERIFY(!form.Timer1.isActive());

        tool.terminate();
        QVERIFY(tool.waitForFinished(5000));
        form.choosePort(1);
        QCOMPARE(form.shown(), QStringList());
        QCOMPARE(form.spDTR->fillColor(), kRed);
        click(form.Command7);
        QCOMPARE(form.sentBeforeMarker(pty), knownFrame(7));
    }
};

STRAVIK_SUITE("faults", FaultsTest);
#include "test_faults.moc"
