#include "tests/pty.h"
#include "tests/suites.h"
#include "window/form1.h"
#include "window/lamp.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

const QString kErrorTitle = QStringLiteral("错误提示");
const QString kPortNotOpen = QStringLiteral("串口未打开，命令未发送！请先选择可用的串口！");
const QString kOpenFailed = QStringLiteral("串口被占用或此串口不存在！请更改串口！");
constexpr int kCritical = 16;

const QColor kRed(255, 0, 0);
const QColor kBlack(0, 0, 0);

// Ends a stream of bytes under test; none of the frames the tests send contains it.
const QByteArray kMarker = QByteArray::fromHex("7e4d41524b7e");

// The master's line discipline keeps up to 4 KB that the slave's side has already handed
// over; discarding the output on the slave cannot reach them. (A UART's transmit FIFO, the
// counterpart on a real line, keeps 16 bytes.)
constexpr qsizetype kPtyReadQueue = 4096;

// A 9600 baud line with 8N1 framing carries 960 bytes a second.
constexpr int kLineBytesPerSecond = 960;

QString describeMessage(const QString &title, int style, const QString &text) {
    return QStringLiteral("[%1] style %2: %3").arg(title).arg(style).arg(text);
}

// The window with COM1 on whatever device `device` names at the moment of the open, so that
// a test can take the device away and bring another back; every other port is absent.
// Message boxes are recorded and answered OK.
class FormOnLine : public Form1 {
  public:
    explicit FormOnLine(std::shared_ptr<QString> device)
        : Form1([device](int number) {
              return number == 1 ? *device
                                 : QStringLiteral("/nonexistent/stravik-com%1").arg(number);
          }) {}

    int msgBox(const QString &text, const QString &title, int style) override {
        shown << describeMessage(title, style, text);
        return kMsgResultOk;
    }

    // Start-up as the program does it; true when COM1 opened without a message, lamp red.
    bool load() {
        Form_Load();
        show();
        return MSComm1.portOpen() && shown.isEmpty() && spDTR->fillColor() == kRed;
    }

    // The operator picks "COM1" in the port list.
    void chooseCom1() {
        Combo1->setCurrentIndex(Combo1->findText(QStringLiteral("COM1")));
        Combo1_Click();
    }

    QStringList shown;
};

void click(QPushButton *button) {
    QTest::mouseClick(button, Qt::LeftButton);
}

QPushButton *commandButton(const Form1 &form, int number) {
    switch (number) {
    case 1:
        return form.Command1;
    case 2:
        return form.Command2;
    case 6:
        return form.Command6;
    case 7:
        return form.Command7;
    default:
        return nullptr;
    }
}

QStringList listTexts(const Form1 &form) {
    return {form.Combo2->currentText(), form.Combo3->currentText(), form.Combo4->currentText(),
            form.Combo5->currentText(), form.Combo6->currentText(), form.Combo7->currentText(),
            form.Combo8->currentText()};
}

// Sets the window up so that each command has one known frame: card 1, new address 2, the
// lists' other defaults, and "AB" in both text boxes.
void setKnownInputs(Form1 &form) {
    form.Combo2->setEditText(QStringLiteral("1"));
    form.Combo8->setEditText(QStringLiteral("2"));
    form.RichTextBox1->setPlainText(QStringLiteral("AB"));
    form.RichTextBox2->setPlainText(QStringLiteral("AB"));
}

// The frame each command sends after setKnownInputs.
QByteArray knownFrame(int command) {
    switch (command) {
    case 1:
        return QByteArray::fromHex("81c041000200010004000000001a");
    case 2:
        return QByteArray::fromHex("81c0581a");
    case 6:
        return QByteArray::fromHex("81c05341421a");
    case 7:
        return QByteArray::fromHex("81c04441421a");
    default:
        return {};
    }
}

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

// What the master receives up to `marker`, written through the window's port.
QByteArray sentBeforeMarker(Form1 &form, PtyPair &pty) {
    if (form.MSComm1.setOutput(kMarker) != CommResult::Ok)
        return QByteArrayLiteral("<marker not written>");
    QByteArray got = pty.readUntil(kMarker, 10s);
    if (!got.endsWith(kMarker))
        return got + QByteArrayLiteral("<no marker>");
    got.chop(kMarker.size());
    return got;
}

std::chrono::microseconds processCpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto time = [](const timeval &t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    return time(usage.ru_utime) + time(usage.ru_stime);
}

// The cost of 500 ms of an idle event loop: processor time and turns of the loop. A dead
// descriptor left in the loop would show as hundreds of turns or most of the 500 ms.
struct IdleCost {
    std::chrono::microseconds cpu{};
    int turns = 0;
    bool spinning() const { return cpu >= 200ms || turns >= 200; }
    QString text() const {
        return QStringLiteral("%1 ms of processor time and %2 turns of the event loop in 500 ms")
            .arg(cpu.count() / 1000)
            .arg(turns);
    }
};

IdleCost measureIdle() {
    IdleCost cost;
    const auto before = processCpuTime();
    waitIdleFor([&] { return ++cost.turns < 0; }, 500ms);
    cost.cpu = processCpuTime() - before;
    return cost;
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

// Runs the event loop for `duration`, doing `action` once after `actionAfter` (if given).
void runLoop(std::chrono::milliseconds duration, std::chrono::milliseconds actionAfter = {},
             const std::function<void()> &action = {}) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    if (action)
        QTimer::singleShot(actionAfter, &loop, action);
    loop.exec();
}

std::chrono::milliseconds secondsFromEnvironment(const char *name, double fallback) {
    bool ok = false;
    const double seconds = qEnvironmentVariable(name).toDouble(&ok);
    return std::chrono::milliseconds(
        static_cast<qint64>((ok && seconds > 0 ? seconds : fallback) * 1000));
}

// Writes bytes straight into a device, bypassing the window, and waits while the line is
// full: a marker written so behind a port the window has closed shows, once it arrives, that
// nothing else is coming.
bool writeIntoDevice(const QString &path, const QByteArray &bytes) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    qsizetype done = 0;
    QDeadlineTimer deadline(10s);
    while (done < bytes.size() && !deadline.hasExpired()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else
            ::poll(nullptr, 0, 5);
    }
    ::close(fd);
    return done == bytes.size();
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

QString toolProgram() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../app/stravik");
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
        FormOnLine form(device);
        QVERIFY(form.load());
        setKnownInputs(form);
        switch (when) {
        case LostWhile::Idle:
            break;
        case LostWhile::SendingLongText: {
            // 32,000 bytes: a pty takes about 20 KB while nobody reads, so the rest waits in
            // the port's own buffer when the line goes.
            const QString text = longText(32000);
            form.RichTextBox2->setPlainText(text);
            click(form.Command7);
            QVERIFY(waitFor([&] { return form.MSComm1.pendingOutput() < 32000; }));
            qInfo("%lld bytes wait in the port's buffer",
                  static_cast<long long>(form.MSComm1.pendingOutput()));
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

        // A reply timer that was running fires once, finds the port closed and changes nothing.
        QVERIFY(waitFor([&] { return !form.Timer1.isActive(); }, 3s));
        QCOMPARE(listTexts(form), lists);
        QCOMPARE(form.Command7->text(), caption7Before);
        QCOMPARE(form.shown, QStringList());
        QCOMPARE(form.spDTR->fillColor(), kBlack);
        QVERIFY(form.isVisible());

        for (const int command : {1, 2, 6, 7}) {
            click(commandButton(form, command));
            QCOMPARE(form.shown,
                     QStringList{describeMessage(kErrorTitle, kCritical, kPortNotOpen)});
            form.shown.clear();
            QVERIFY(!form.Timer1.isActive());
            QCOMPARE(form.MSComm1.pendingOutput(), 0);
        }
        QCOMPARE(form.Command7->text(), caption7Before);
        QCOMPARE(form.spDTR->fillColor(), kBlack);

        // While the device is still away, choosing the port fails as for an absent one.
        *device = QStringLiteral("/nonexistent/stravik-pulled-adapter");
        form.chooseCom1();
        QCOMPARE(form.shown, QStringList{describeMessage(kErrorTitle, kCritical, kOpenFailed)});
        QCOMPARE(form.spDTR->fillColor(), kBlack);
        QVERIFY(!form.MSComm1.portOpen());
        form.shown.clear();

        // The device is back (as a new pty): the port opens and the commands reach it, with
        // nothing left over from before the loss.
        first.reset();
        PtyPair second;
        QVERIFY(second.isValid());
        *device = second.slavePath();
        form.chooseCom1();
        QCOMPARE(form.shown, QStringList());
        QCOMPARE(form.spDTR->fillColor(), kRed);
        QVERIFY(form.MSComm1.portOpen());
        QCOMPARE(sentBeforeMarker(form, second), QByteArray());
        form.RichTextBox2->setPlainText(QStringLiteral("AB"));
        for (const int command : {1, 6, 7, 2}) {
            click(commandButton(form, command));
            QCOMPARE(sentBeforeMarker(form, second), knownFrame(command));
        }
        QCOMPARE(form.shown, QStringList());
        QVERIFY(waitFor([&] { return !form.Timer1.isActive(); }));

        click(form.Command3);
        QVERIFY(!form.isVisible());
        QVERIFY(!form.MSComm1.portOpen());
    }

    // A display text of 32,000 bytes takes about 33 s on a 9600 baud line. The master is
    // read at that pace; meanwhile the window's event loop must keep turning.
    // STRAVIK_BUSY_LINE_SECONDS sets how long to watch (3 s by default; 35 s sees the whole
    // frame through).
    void busyLineKeepsTheWindowAnswering() {
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnLine form(std::make_shared<QString>(pty.slavePath()));
        QVERIFY(form.load());
        setKnownInputs(form);
        const QString text = longText(32000);
        const QByteArray frame = displayFrameTo1(text);
        form.RichTextBox2->setPlainText(text);
        settle(form);
        const auto watch = secondsFromEnvironment("STRAVIK_BUSY_LINE_SECONDS", 3);

        LineDrain line(pty.masterFd(), kLineBytesPerSecond);
        LoopProbe probe;
        QElapsedTimer clock;
        clock.start();
        click(form.Command7);
        const qint64 clickMs = clock.elapsed();
        QVERIFY(form.MSComm1.pendingOutput() > 0);

        // Typing during the drain reaches the text box at once.
        qint64 typedMs = -1;
        runLoop(watch, watch / 2, [&] {
            QElapsedTimer t;
            t.start();
            QTest::keyClicks(form.RichTextBox1, QStringLiteral("typed"));
            typedMs = t.elapsed();
        });
        const QByteArray got = line.received();
        qInfo("busy line, %lld ms watched: %lld bytes through, %lld still in the port's "
              "buffer; click took %lld ms, typing %lld ms; event loop at most %.1f ms late "
              "(at %.0f ms; %d ticks of 10 ms)",
              static_cast<long long>(watch.count()), static_cast<long long>(got.size()),
              static_cast<long long>(form.MSComm1.pendingOutput()), static_cast<long long>(clickMs),
              static_cast<long long>(typedMs), probe.maxLateMs(), probe.worstAtMs(), probe.ticks());

        QVERIFY2(got == frame.left(got.size()), "the bytes that went are not the frame's");
        const qint64 expectedBytes = watch.count() * kLineBytesPerSecond / 1000;
        QVERIFY2(
            got.size() >= qMin<qint64>(expectedBytes / 2, frame.size()),
            qPrintable(QStringLiteral("%1 bytes in %2 ms").arg(got.size()).arg(watch.count())));
        if (expectedBytes >= frame.size() + kLineBytesPerSecond)
            QCOMPARE(got, frame);
        QVERIFY(form.RichTextBox1->toPlainText().contains(QStringLiteral("typed")));
        QVERIFY2(probe.maxLateMs() < 1000, qPrintable(QString::number(probe.maxLateMs())));
        QVERIFY(probe.ticks() >= watch.count() / 10 / 4);
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
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnLine form(std::make_shared<QString>(pty.slavePath()));
        QVERIFY(form.load());
        const QString text = longText(32000);
        const QByteArray frame = displayFrameTo1(text);
        setKnownInputs(form);
        form.RichTextBox2->setPlainText(text);
        settle(form);

        LineDrain line(pty.masterFd(), kLineBytesPerSecond);
        LoopProbe probe;
        click(form.Command7);
        qint64 pendingBefore = -1;
        qsizetype throughAtCommand = -1;
        qint64 commandMs = -1;
        qint64 pendingAfter = -1;
        bool markerWritten = false;
        runLoop(1500ms, 1000ms, [&] {
            pendingBefore = form.MSComm1.pendingOutput();
            form.RichTextBox2->setPlainText(QStringLiteral("AB"));
            QElapsedTimer t;
            t.start();
            click(commandButton(form, command));
            commandMs = t.elapsed();
            throughAtCommand = line.count();
            pendingAfter = form.MSComm1.pendingOutput();
            markerWritten = form.MSComm1.setOutput(kMarker) == CommResult::Ok;
        });
        QVERIFY(pendingAfter <= knownFrame(command).size());
        QVERIFY(markerWritten);
        line.setRate(0);
        QVERIFY(waitFor([&] { return line.received().endsWith(kMarker); }, 10s));
        QByteArray got = line.received();
        got.chop(kMarker.size());
        QVERIFY(got.endsWith(knownFrame(command)));
        got.chop(knownFrame(command).size());
        qInfo("Command%d during a busy line: %lld bytes had gone, %lld waited in the port, "
              "%lld of the old frame arrived in all; the command took %lld ms, the event loop "
              "was at most %.1f ms late (at %.0f ms)",
              command, static_cast<long long>(throughAtCommand),
              static_cast<long long>(pendingBefore), static_cast<long long>(got.size()),
              static_cast<long long>(commandMs), probe.maxLateMs(), probe.worstAtMs());
        QCOMPARE(got, frame.left(got.size()));
        QVERIFY2(got.size() <= throughAtCommand + kPtyReadQueue,
                 qPrintable(QStringLiteral("%1 bytes of the old frame arrived, %2 had gone")
                                .arg(got.size())
                                .arg(throughAtCommand)));
        QVERIFY(commandMs < 1000);
        QCOMPARE(form.shown, QStringList());
        QVERIFY(waitFor([&] { return !form.Timer1.isActive(); }));
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
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnLine form(std::make_shared<QString>(pty.slavePath()));
        QVERIFY(form.load());
        setKnownInputs(form);
        const QString text = longText(32000);
        const QByteArray frame = displayFrameTo1(text);
        form.RichTextBox2->setPlainText(text);
        settle(form);

        LineDrain line(pty.masterFd(), kLineBytesPerSecond);
        click(form.Command7);
        qint64 pendingBefore = -1;
        qint64 exitMs = -1;
        qsizetype throughAtExit = -1;
        runLoop(1500ms, 1000ms, [&] {
            pendingBefore = form.MSComm1.pendingOutput();
            QElapsedTimer t;
            t.start();
            if (byButton)
                click(form.Command3);
            else
                form.close();
            exitMs = t.elapsed();
            throughAtExit = line.count();
        });
        QVERIFY(!form.isVisible());
        QVERIFY(!form.MSComm1.portOpen());
        QVERIFY2(exitMs < 500, qPrintable(QStringLiteral("exit took %1 ms").arg(exitMs)));

        line.setRate(0);
        QVERIFY(writeIntoDevice(pty.slavePath(), kMarker));
        QVERIFY(waitFor([&] { return line.received().endsWith(kMarker); }, 10s));
        QByteArray got = line.received();
        got.chop(kMarker.size());
        qInfo("exit during a busy line took %lld ms; %lld bytes had gone, %lld waited in the "
              "port; %lld of %lld bytes arrived in all",
              static_cast<long long>(exitMs), static_cast<long long>(throughAtExit),
              static_cast<long long>(pendingBefore), static_cast<long long>(got.size()),
              static_cast<long long>(frame.size()));
        QCOMPARE(got, frame.left(got.size()));
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
        auto first = std::make_unique<FormOnLine>(device);
        QVERIFY(first->load());
        setKnownInputs(*first);

        FormOnLine second(device);
        second.Form_Load();
        second.show();
        const QStringList busy{describeMessage(kErrorTitle, kCritical, kOpenFailed)};
        QCOMPARE(second.shown, busy);
        QCOMPARE(second.spDTR->fillColor(), kBlack);
        QVERIFY(!second.MSComm1.portOpen());
        second.shown.clear();
        setKnownInputs(second);

        // The second sends nothing; the first still owns the line.
        click(second.Command7);
        QCOMPARE(second.shown, QStringList{describeMessage(kErrorTitle, kCritical, kPortNotOpen)});
        second.shown.clear();
        click(first->Command2);
        QCOMPARE(sentBeforeMarker(*first, pty), knownFrame(2));

        second.chooseCom1();
        QCOMPARE(second.shown, busy);
        QCOMPARE(second.spDTR->fillColor(), kBlack);
        second.shown.clear();
        QVERIFY(first->MSComm1.portOpen());
        click(first->Command6);
        QCOMPARE(sentBeforeMarker(*first, pty), knownFrame(6));

        click(first->Command3);
        QVERIFY(!first->MSComm1.portOpen());
        second.chooseCom1();
        QCOMPARE(second.shown, QStringList());
        QCOMPARE(second.spDTR->fillColor(), kRed);
        click(second.Command7);
        QCOMPARE(sentBeforeMarker(second, pty), knownFrame(7));

        // And now the first, started again, is the one refused.
        first = std::make_unique<FormOnLine>(device);
        first->Form_Load();
        QCOMPARE(first->shown, busy);
        QCOMPARE(first->spDTR->fillColor(), kBlack);
        QVERIFY(second.MSComm1.portOpen());
        QVERIFY(waitFor([&] { return !first->Timer1.isActive() && !second.Timer1.isActive(); }));
    }

    // Programs that follow either locking convention stay off the window's port: flock on the
    // device, and the lock file in the system's lock directory naming the holder.
    void otherProgramsCannotTakeTheHeldPort() {
        const QString flockProgram = QStandardPaths::findExecutable(QStringLiteral("flock"));
        if (flockProgram.isEmpty())
            QSKIP("flock (util-linux) is not installed");
        PtyPair pty;
        QVERIFY(pty.isValid());
        auto form = std::make_unique<FormOnLine>(std::make_shared<QString>(pty.slavePath()));
        QVERIFY(form->load());

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

        click(form->Command3);
        form.reset();
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
        auto form = std::make_unique<FormOnLine>(device);
        form->Form_Load();
        form->show();
        if (!holderLives) {
            QCOMPARE(form->shown, QStringList());
            QCOMPARE(form->spDTR->fillColor(), kRed);
        } else {
            QCOMPARE(form->shown,
                     QStringList{describeMessage(kErrorTitle, kCritical, kOpenFailed)});
            QCOMPARE(form->spDTR->fillColor(), kBlack);
            QVERIFY(!form->MSComm1.portOpen());
            QFile still(lockPath);
            QVERIFY2(still.open(QIODevice::ReadOnly), "the holder's lock file was removed");
            QCOMPARE(QString::fromLatin1(still.readAll()), format.arg(pid));
            form->shown.clear();

            holder.kill();
            QVERIFY(holder.waitForFinished());
            form->chooseCom1();
            QCOMPARE(form->shown, QStringList());
            QCOMPARE(form->spDTR->fillColor(), kRed);
        }
        setKnownInputs(*form);
        click(form->Command7);
        QCOMPARE(sentBeforeMarker(*form, pty), knownFrame(7));
        form.reset();
    }

    // The tool as a process of its own holds the port; the window here gets the busy/absent
    // message and sends nothing, and gets the port once that tool has ended. The tool runs
    // in a private mount namespace with the pty over /dev/ttyS0 and its own /run/lock.
    void portHeldByAnotherToolProcess() {
        if (!QFileInfo(toolProgram()).isExecutable())
            QSKIP("the tool is not built beside the tests");
        if (::geteuid() != 0)
            QSKIP("a private mount namespace needs root here");
        PtyPair pty;
        QVERIFY(pty.isValid());

        QProcess tool;
        tool.setProcessChannelMode(QProcess::MergedChannels);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        tool.setProcessEnvironment(env);
        tool.start(QStringLiteral("unshare"),
                   {QStringLiteral("--mount"), QStringLiteral("--propagation"),
                    QStringLiteral("private"), QStringLiteral("--"), QStringLiteral("sh"),
                    QStringLiteral("-c"),
                    QStringLiteral("mount --bind \"$0\" /dev/ttyS0 && "
                                   "mount -t tmpfs tmpfs /run/lock && exec \"$1\""),
                    pty.slavePath(), toolProgram()});
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

        FormOnLine form(std::make_shared<QString>(pty.slavePath()));
        form.Form_Load();
        form.show();
        QCOMPARE(form.shown, QStringList{describeMessage(kErrorTitle, kCritical, kOpenFailed)});
        QCOMPARE(form.spDTR->fillColor(), kBlack);
        form.shown.clear();
        setKnownInputs(form);
        click(form.Command2);
        QCOMPARE(form.shown, QStringList{describeMessage(kErrorTitle, kCritical, kPortNotOpen)});
        form.shown.clear();
        QVERIFY(!form.Timer1.isActive());

        tool.terminate();
        QVERIFY(tool.waitForFinished(5000));
        form.chooseCom1();
        QCOMPARE(form.shown, QStringList());
        QCOMPARE(form.spDTR->fillColor(), kRed);
        click(form.Command7);
        QCOMPARE(sentBeforeMarker(form, pty), knownFrame(7));
    }
};

STRAVIK_SUITE("faults", FaultsTest);
#include "test_faults.moc"
