#include "tests/suites.h"
#include "tests/support/delayproxy.h"
#include "tests/support/eventloop.h"
#include "tests/support/fixtures.h"
#include "tests/support/ser2netserver.h"
#include "texts/messages.h"
#include "window/lamp.h"

#include <QComboBox>
#include <QCursor>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

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
        if (ser2net().isEmpty())
            QSKIP("ser2net is not installed (scripts/test installs it)");
        // An RFC 2217 server a second away: the open waits that long for its answers.
        Ser2netServer server({{QStringLiteral("telnet(rfc2217),tcp"), QStringLiteral("rfc2217")}});
        QVERIFY2(server.listening(), qPrintable(server.config()));
        DelayProxy proxy("127.0.0.1", server.port(0), 1s);
        QVERIFY2(proxy.listening(), proxy.error().c_str());
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
            }
        });
        during.start(10ms);
        w.form.Combo1->lineEdit()->selectAll();
        QTest::keyClicks(w.form.Combo1, QStringLiteral("rfc2217://127.0.0.1:%1").arg(proxy.port()));
        QTest::keyClick(w.form.Combo1, Qt::Key_Return);
        during.stop();

        QVERIFY(busy);
        QVERIFY(halfOpen);
        QVERIFY(painted);
        QVERIFY(w.form.MSComm1.portOpen());
        QVERIFY(!QGuiApplication::overrideCursor());
        QVERIFY(step == 3);
        // The click was refused with the port-closed message, and nothing of it went out.
        QCOMPARE(w.form.shown(), QStringList{errorMessage(msg::kPortNotOpen)});
        QCOMPARE(server.pty(0).read(1, 1500ms).toHex(' '), QByteArray());
        // The line works: a click now restarts the card.
        click(w.form.Command2);
        QCOMPARE(server.pty(0).read(4, 3s).toHex(' '), QByteArray("85 c0 58 1a"));
        QCOMPARE(w.form.shown().size(), 1);
    }
};

STRAVIK_SUITE("opening", OpeningTest);
#include "test_opening.moc"
