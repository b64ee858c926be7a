#include "bench/inprocess.h"

#include "protocol/frame.h"
#include "window/form1.h"

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace {

// Nothing waits longer than this for a frame or for the lists.
constexpr int kDeadlineMs = 5000;
// Time the window gets to take a press (and draw the pressed button) before the release.
constexpr int kPressSettleMs = 30;

QByteArray readAvailable(int fd) {
    QByteArray got;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        got.append(buf, n);
    return got;
}

// A pseudo-terminal pair: the window opens the slave by its path, the bench reads the master.
class Pty {
  public:
    Pty() {
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            return;
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        slavePath_ = QString::fromLocal8Bit(name);
    }
    ~Pty() {
        for (int fd : {master_, slave_})
            if (fd >= 0)
                ::close(fd);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool isValid() const { return !slavePath_.isEmpty(); }
    int masterFd() const { return master_; }
    QString slavePath() const { return slavePath_; }
    bool write(const QByteArray &bytes) const {
        return ::write(master_, bytes.constData(), std::size_t(bytes.size())) == bytes.size();
    }

  private:
    int master_ = -1;
    int slave_ = -1; // held open so the slave does not hang up between opens
    QString slavePath_;
};

// The window with COM1 on the pseudo-terminal; a message box would mean a refused command, so
// its text is kept instead of shown.
class BenchForm : public Form1 {
  public:
    explicit BenchForm(const Pty &pty)
        : Form1([path = pty.slavePath()](int) { return PortTarget(path); }) {}
    int msgBox(const QString &text, const QString &, int) override {
        message = text;
        return kMsgResultOk;
    }
    QString message;
};

// Lets the event loop run for ms, as when the operator does nothing.
void idle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Notes when the first byte is readable on the master, looking before every event the
// application delivers: the window's thread goes on with the rest of a click (drawing the
// released button) after a frame has left, and would otherwise notice the byte only then.
class FirstByteWatch : public QObject {
  public:
    explicit FirstByteWatch(int master) : master_(master) { qApp->installEventFilter(this); }
    ~FirstByteWatch() override { qApp->removeEventFilter(this); }

    bool check() {
        if (!seen) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 0) == 1)
                seen = BenchClock::now();
        }
        return seen.has_value();
    }

    std::optional<BenchClock::time_point> seen;

  protected:
    bool eventFilter(QObject *, QEvent *) override {
        check();
        return false;
    }

  private:
    int master_;
};

// Clicks the button and runs the event loop until the whole expected frame has arrived on the
// master. Returns the milliseconds from the release of the button (where the click happens) to
// the first byte, or nothing.
std::optional<double> clickToFirstByte(QPushButton *button, Pty &pty, const QByteArray &frame,
                                       QString &problem) {
    readAvailable(pty.masterFd());
    QTest::mousePress(button, Qt::LeftButton);
    idle(kPressSettleMs);

    QEventLoop loop;
    QByteArray got;
    QSocketNotifier arrived(pty.masterFd(), QSocketNotifier::Read);
    FirstByteWatch watch(pty.masterFd());
    QObject::connect(&arrived, &QSocketNotifier::activated, &loop, [&] {
        watch.check();
        got += readAvailable(pty.masterFd());
        if (got.size() >= frame.size())
            loop.quit();
    });
    QTimer::singleShot(kDeadlineMs, &loop, &QEventLoop::quit);
    const BenchClock::time_point clicked = BenchClock::now();
    QTest::mouseRelease(button, Qt::LeftButton);
    watch.check();
    loop.exec();
    if (got != frame || !watch.seen) {
        problem = QStringLiteral("a click on \"%1\" sent %2 instead of %3")
                      .arg(button->text(), QString::fromLatin1(got.toHex(' ')),
                           QString::fromLatin1(frame.toHex(' ')));
        return std::nullopt;
    }
    return millisecondsBetween(clicked, *watch.seen);
}

// A restart whose reply names the card's address as address: from the frame on the master
// to the original address list showing it.
std::optional<double> restartToReplyShown(BenchForm &form, Pty &pty, int address,
                                          QString &problem) {
    readAvailable(pty.masterFd());
    // Address, rows 2, 12 characters per row, both polarities forward, full screen.
    QByteArray reply = QByteArray::fromHex("00000002000c110001");
    reply[1] = static_cast<char>(address);
    const QString shown = QString::number(address);

    QEventLoop loop;
    QSocketNotifier arrived(pty.masterFd(), QSocketNotifier::Read);
    std::optional<BenchClock::time_point> frameLeft;
    std::optional<BenchClock::time_point> listsChanged;
    QByteArray got;
    QObject::connect(&arrived, &QSocketNotifier::activated, &loop, [&] {
        if (!frameLeft)
            frameLeft = BenchClock::now();
        got += readAvailable(pty.masterFd());
        if (got.size() == 4 && !pty.write(reply))
            loop.quit();
    });
    QObject::connect(form.Combo2, &QComboBox::currentTextChanged, &loop, [&](const QString &text) {
        if (text == shown && frameLeft && !listsChanged) {
            listsChanged = BenchClock::now();
            loop.quit();
        }
    });
    QTimer::singleShot(kDeadlineMs, &loop, &QEventLoop::quit);
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    loop.exec();
    if (!listsChanged) {
        problem = QStringLiteral("the reply to a restart (%1) was not shown within %2 ms")
                      .arg(QString::fromLatin1(got.toHex(' ')))
                      .arg(kDeadlineMs);
        return std::nullopt;
    }
    return millisecondsBetween(*frameLeft, *listsChanged);
}

} // namespace

InProcessResults measureInProcess(int clicks, int replies) {
    InProcessResults r;
    Pty pty;
    if (!pty.isValid()) {
        r.problem = QStringLiteral("no pseudo-terminal");
        return r;
    }
    BenchForm form(pty);
    form.Form_Load();
    form.show();
    if (!QTest::qWaitForWindowExposed(&form) || !form.MSComm1.portOpen()) {
        r.problem = QStringLiteral("the window did not come up with COM1 open");
        return r;
    }
    r.restartButton = form.Command2->geometry().center();
    r.displayTextButton = form.Command7->geometry().center();

    r.restartFrame = toByteArray(BuildRestartFrame(kAddressBroadcast));
    r.displayTextFrame = toByteArray(BuildDisplayTextFrame(kAddressBroadcast, kLetterDisplayText,
                                                           form.RichTextBox2->toPlainText())
                                         .frame);
    const QByteArray &restart = r.restartFrame;
    const QByteArray &displayText = r.displayTextFrame;
    for (int i = 0; i < clicks && r.problem.isEmpty(); ++i) {
        idle(20);
        if (const auto ms = clickToFirstByte(form.Command2, pty, restart, r.problem))
            r.restartClick.add(*ms);
        idle(20);
        if (const auto ms = clickToFirstByte(form.Command7, pty, displayText, r.problem))
            r.displayTextClick.add(*ms);
    }
    // Stopped, so that a tick of the restarts above does not read the replies below.
    form.card.cancelReply();

    // The event loop may move a timer's tick to a nearby multiple of 25 ms or more (up to 5 % of
    // its interval): the restarts begin at phases spread over 100 ms to meet every rounding.
    for (int i = 0; i < replies && r.problem.isEmpty(); ++i) {
        idle(20 + i * 100 / replies);
        if (const auto ms = restartToReplyShown(form, pty, 1 + i % 2, r.problem))
            r.replyShown.add(*ms);
    }
    r.replyTimerMs = form.Timer1.interval();
    if (!form.message.isEmpty() && r.problem.isEmpty())
        r.problem = QStringLiteral("the window showed a message: ") + form.message;
    return r;
}
