#include "tests/suites.h"
#include "tests/support/fixtures.h"
#include "texts/messages.h"
#include "window/lamp.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QTest>

// A device or address typed into 串口 and confirmed with Enter is opened as a chosen item is:
// the port open before is closed first, and the lamp, the message and the tooltip follow the
// same rules.
class TypedPortTest : public QObject {
    Q_OBJECT
  private slots:
    void enterOpensWhatIsTyped_data() {
        QTest::addColumn<QString>("typed"); // %slave: the second pty's slave
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QString>("tip");
        QTest::newRow("a device path") << "%slave" << true << "%slave";
        QTest::newRow("com1 in small letters is COM1") << "com1" << true << "%com1";
        QTest::newRow("a device that does not exist")
            << "/nonexistent/ttyUSB7" << false << "/nonexistent/ttyUSB7 未能打开";
        QTest::newRow("a server nobody serves")
            << "tcp://127.0.0.1:1" << false << "tcp://127.0.0.1:1 未能打开";
    }
    void enterOpensWhatIsTyped() {
        QFETCH(QString, typed);
        QFETCH(bool, opens);
        QFETCH(QString, tip);
        WindowOnPty w;
        QVERIFY(w.ready());
        PtyPair other;
        QVERIFY(other.isValid());
        typed.replace(QStringLiteral("%slave"), other.slavePath());
        tip.replace(QStringLiteral("%slave"), other.slavePath())
            .replace(QStringLiteral("%com1"), w.pty.slavePath());
        PtyPair &reached = typed == other.slavePath() ? other : w.pty;

        // As the keyboard types: to the list, which has the focus for its field.
        w.form.Combo1->lineEdit()->selectAll();
        QTest::keyClicks(w.form.Combo1, typed);
        QTest::keyClick(w.form.Combo1, Qt::Key_Return);

        QCOMPARE(w.form.MSComm1.portOpen(), opens);
        // The busy cursor of the open is gone, whatever came of it.
        QVERIFY(!QGuiApplication::overrideCursor());
        QCOMPARE(w.form.spDTR->fillColor(), opens ? QColor(255, 0, 0) : QColor(0, 0, 0));
        QVERIFY2(w.form.Combo1->toolTip().startsWith(tip), qPrintable(w.form.Combo1->toolTip()));
        QCOMPARE(w.form.Combo1->accessibleDescription(), w.form.Combo1->toolTip());
        if (!opens) {
            QCOMPARE(w.form.shown(), QStringList{errorMessage(msg::kOpenFailed)});
            QVERIFY(w.form.openFailureDetails().contains(typed));
            return;
        }
        QCOMPARE(w.form.shown(), QStringList());
        // The restart goes to what was typed, and only there.
        w.form.Combo2->setEditText(QStringLiteral("5"));
        click(w.form.Command2);
        QCOMPARE(w.form.sentBeforeMarker(reached), QByteArray::fromHex("85c0581a"));
        // The port open before was let go: another program may open it now.
        if (&reached == &other) {
            MSComm again([&](int) { return PortTarget(w.pty.slavePath()); });
            QCOMPARE(again.setPortOpen(true), CommResult::Ok);
        }
    }
};

STRAVIK_SUITE("typedport", TypedPortTest);
#include "test_typedport.moc"
