#include "card/messages.h"
#include "serial/telnetcodec.h"
#include "tests/suites.h"
#include "tests/support/eventloop.h"
#include "tests/support/fixtures.h"
#include "window/lamp.h"

#include <QComboBox>
#include <QCursor>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// An RFC 2217 server on a slow link: it takes the connection at once and answers the
// negotiation a second later, once released (5 s at the latest), echoing each COM-PORT request.
// It keeps all it receives, and how much of it came before its answers.
class SlowServer {
  public:
    SlowServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr *>(&a), size) == 0 &&
            ::listen(listener_, 1) == 0 &&
            ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &size) == 0)
            port = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~SlowServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    QString address() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(port); }
    // What came after the answers; "<before>" and what came then when not yet answered.
    QByteArray afterAnswers() {
        const std::lock_guard lock(mutex_);
        return answeredAt_ < 0 ? "<before>" + received_ : received_.mid(answeredAt_);
    }
    QByteArray received() {
        const std::lock_guard lock(mutex_);
        return received_;
    }

    quint16 port = 0;
    std::atomic<bool> connected{false};
    std::atomic<bool> released{false};

  private:
    // Takes what comes within ms; false when the connection ended.
    bool take(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1)
            return true;
        char buf[512];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        const std::lock_guard lock(mutex_);
        received_.append(buf, std::max<ssize_t>(n, 0));
        return n > 0;
    }
    void serve() {
        pollfd p{listener_, POLLIN, 0};
        if (port == 0 || ::poll(&p, 1, 10000) != 1)
            return;
        const int fd = ::accept(listener_, nullptr, nullptr);
        connected = true;
        const QByteArray request("\xff\xfa\x2c");
        const QDeadlineTimer slowLink(1s), cap(5s);
        while ((!released || !slowLink.hasExpired() || received().count(request) < 4) &&
               !cap.hasExpired() && !stop_)
            take(fd, 10);
        // DO COM-PORT-OPTION, BINARY and SUPPRESS-GO-AHEAD both ways, then each request echoed.
        QByteArray answer = QByteArray::fromHex("fffd2c fffd00 fffb00 fffd03 fffb03");
        const QByteArray before = received();
        for (qsizetype at = before.indexOf(request); at >= 0; at = before.indexOf(request, at + 1))
            answer +=
                TelnetCodec::comPort(static_cast<quint8>(before[at + 3]) + 100,
                                     before.mid(at + 4, before.indexOf("\xff\xf0", at) - at - 4));
        {
            const std::lock_guard lock(mutex_);
            answeredAt_ = received_.size();
        }
        (void)::send(fd, answer.constData(), answer.size(), MSG_NOSIGNAL);
        const QDeadlineTimer done(10s);
        while (!stop_ && !done.hasExpired() && take(fd, 10)) {
        }
        ::close(fd);
    }

    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    QByteArray received_;
    qsizetype answeredAt_ = -1;
    std::thread thread_;
};

// Counts the paint events of the widget it watches.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject *, QEvent *e) override {
        paints += e->type() == QEvent::Paint;
        return false;
    }
};

bool busyCursor() {
    const QCursor *c = QGuiApplication::overrideCursor();
    return c && c->shape() == Qt::WaitCursor;
}

} // namespace

// While a network line opens the window draws and shows the busy cursor. The operator's own
// clicks wait for the open (Qt holds user input back meanwhile); a click that reaches a command
// anyway, as a posted event does, finds the port not open and says so.
class OpeningTest : public QObject {
    Q_OBJECT
  private slots:
    void clickWhileOpening() {
        SlowServer server;
        QVERIFY(server.port != 0);
        WindowOnPty w;
        QVERIFY(w.ready());
        w.form.Combo2->setEditText(QStringLiteral("5"));
        PaintCounter lamp;
        w.form.spDTR->installEventFilter(&lamp);

        // Steps taken while the open waits for the server's answers, one a tick.
        int step = 0, ticks = 0, paintsBefore = 0;
        bool busy = false, halfOpen = false, painted = false;
        QTimer during;
        QObject::connect(&during, &QTimer::timeout, [&] {
            if (!server.connected)
                return;
            switch (step) {
            case 0:
                busy = busyCursor();
                halfOpen = !w.form.MSComm1.portOpen();
                paintsBefore = lamp.paints;
                w.form.spDTR->update();
                step = 1;
                break;
            case 1:
                painted = lamp.paints > paintsBefore;
                step = painted || ++ticks > 50 ? 2 : 1;
                break;
            case 2:
                for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
                    const Qt::MouseButtons held =
                        type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton;
                    QCoreApplication::postEvent(
                        w.form.Command2,
                        new QMouseEvent(type, QPointF(10, 10),
                                        w.form.Command2->mapToGlobal(QPointF(10, 10)),
                                        Qt::LeftButton, held, Qt::NoModifier));
                }
                step = 3;
                break;
            default:
                server.released = true;
            }
        });
        during.start(10ms);
        w.form.Combo1->lineEdit()->selectAll();
        QTest::keyClicks(w.form.Combo1, server.address());
        QTest::keyClick(w.form.Combo1, Qt::Key_Return);
        during.stop();

        QVERIFY(busy);
        QVERIFY(halfOpen);
        QVERIFY(painted);
        QVERIFY(w.form.MSComm1.portOpen());
        QVERIFY(!QGuiApplication::overrideCursor());
        // The click was refused with the port-closed message, and nothing of it went out.
        QCOMPARE(w.form.shown(), QStringList{errorMessage(msg::kPortNotOpen)});
        QVERIFY(server.released);
        const QByteArray restart = QByteArray::fromHex("85c0581a");
        QVERIFY(!server.received().contains(restart));
        // The line works: a click now restarts the card after the negotiation.
        click(w.form.Command2);
        QVERIFY2(waitFor([&] { return server.afterAnswers().contains(restart); }, 5s),
                 server.afterAnswers().toHex(' ').constData());
        QCOMPARE(w.form.shown().size(), 1);
    }
};

STRAVIK_SUITE("opening", OpeningTest);
#include "test_opening.moc"
