#include "protocol/messages.h"
#include "tests/pty.h"
#include "tests/suites.h"
#include "window/form1.h"
#include "window/lamp.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <map>

namespace {

struct Shown {
    QString text;
    QString title;
    int style;
    bool windowVisible;
};

// The window with its message boxes recorded instead of shown, and each port number mapped
// to a device of the test's choosing (absent when unmapped).
class RecordingForm : public Form1 {
  public:
    explicit RecordingForm(std::map<int, PortTarget> devices)
        : Form1([devices](int n) {
              const auto it = devices.find(n);
              return it == devices.end() ? PortTarget(QStringLiteral("/nonexistent/com%1").arg(n))
                                         : it->second;
          }) {}
    int msgBox(const QString &text, const QString &title, int style) override {
        shown.push_back({text, title, style, isVisible()});
        return kMsgResultOk;
    }
    std::vector<Shown> shown;
};

QStringList items(const QComboBox *c) {
    QStringList out;
    for (int i = 0; i < c->count(); ++i)
        out << c->itemText(i);
    return out;
}

QStringList numbers(int from, int to) {
    QStringList out;
    for (int i = from; i <= to; ++i)
        out << QString::number(i);
    return out;
}

const QColor kRed(255, 0, 0);
const QColor kBlack(0, 0, 0);

} // namespace

class WindowTest : public QObject {
    Q_OBJECT
  private slots:
    void controlsSitAtTheirPlaces_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("twips");
        // left, top, width, height in twips; 15 twips to a pixel.
        QTest::newRow("Label1") << "Label1" << QRect(720, 165, 615, 255);
        QTest::newRow("Combo1") << "Combo1" << QRect(1200, 120, 1335, 300);
        QTest::newRow("spDTR") << "spDTR" << QRect(2520, 120, 405, 240);
        QTest::newRow("Label2") << "Label2" << QRect(480, 555, 630, 210);
        QTest::newRow("Combo2") << "Combo2" << QRect(1200, 480, 1335, 300);
        QTest::newRow("Label10") << "Label10" << QRect(2640, 480, 3630, 180);
        QTest::newRow("Label7") << "Label7" << QRect(480, 915, 630, 210);
        QTest::newRow("Combo8") << "Combo8" << QRect(1200, 840, 1335, 300);
        QTest::newRow("RichTextBox1") << "RichTextBox1" << QRect(3240, 720, 3135, 1695);
        QTest::newRow("Label3") << "Label3" << QRect(720, 1260, 615, 375);
        QTest::newRow("Combo3") << "Combo3" << QRect(1200, 1200, 1335, 300);
        QTest::newRow("Label4") << "Label4" << QRect(120, 1665, 1050, 210);
        QTest::newRow("Combo4") << "Combo4" << QRect(1200, 1560, 1335, 300);
        QTest::newRow("Label5") << "Label5" << QRect(120, 2010, 1050, 210);
        QTest::newRow("Combo5") << "Combo5" << QRect(1200, 1920, 1335, 300);
        QTest::newRow("Label8(0)") << "Label8_0" << QRect(240, 2355, 840, 210);
        QTest::newRow("Combo6") << "Combo6" << QRect(1200, 2280, 1335, 300);
        QTest::newRow("Command6") << "Command6" << QRect(3240, 2520, 3135, 375);
        QTest::newRow("Label8(1)") << "Label8_1" << QRect(240, 2715, 840, 210);
        QTest::newRow("Combo7") << "Combo7" << QRect(1200, 2640, 1335, 300);
        QTest::newRow("Command1") << "Command1" << QRect(240, 3000, 1335, 375);
        QTest::newRow("Command2") << "Command2" << QRect(1800, 3000, 2295, 375);
        QTest::newRow("RichTextBox2") << "RichTextBox2" << QRect(240, 3600, 6135, 855);
        QTest::newRow("Command7") << "Command7" << QRect(360, 4515, 3015, 375);
        QTest::newRow("Command3") << "Command3" << QRect(4000, 4515, 1935, 375);
        QTest::newRow("Label6") << "Label6" << QRect(240, 4965, 4335, 180);
    }
    void controlsSitAtTheirPlaces() {
        QFETCH(QString, name);
        QFETCH(QRect, twips);
        RecordingForm f({});
        const std::map<QString, QWidget *> controls{{"Label1", f.Label1},
                                                    {"Combo1", f.Combo1},
                                                    {"spDTR", f.spDTR},
                                                    {"Label2", f.Label2},
                                                    {"Combo2", f.Combo2},
                                                    {"Label10", f.Label10},
                                                    {"Label7", f.Label7},
                                                    {"Combo8", f.Combo8},
                                                    {"RichTextBox1", f.RichTextBox1},
                                                    {"Label3", f.Label3},
                                                    {"Combo3", f.Combo3},
                                                    {"Label4", f.Label4},
                                                    {"Combo4", f.Combo4},
                                                    {"Label5", f.Label5},
                                                    {"Combo5", f.Combo5},
                                                    {"Label8_0", f.Label8[0]},
                                                    {"Combo6", f.Combo6},
                                                    {"Command6", f.Command6},
                                                    {"Label8_1", f.Label8[1]},
                                                    {"Combo7", f.Combo7},
                                                    {"Command1", f.Command1},
                                                    {"Command2", f.Command2},
                                                    {"RichTextBox2", f.RichTextBox2},
                                                    {"Command7", f.Command7},
                                                    {"Command3", f.Command3},
                                                    {"Label6", f.Label6}};
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        const QRect g = controls.at(name)->geometry();
        const QRectF want(twips.x() / 15.0, twips.y() / 15.0, twips.width() / 15.0,
                          twips.height() / 15.0);
        QVERIFY2(qAbs(g.x() - want.x()) <= 1 && qAbs(g.y() - want.y()) <= 1 &&
                     qAbs(g.width() - want.width()) <= 1 && qAbs(g.height() - want.height()) <= 1,
                 qPrintable(QStringLiteral("%1 at %2,%3 %4x%5")
                                .arg(name)
                                .arg(g.x())
                                .arg(g.y())
                                .arg(g.width())
                                .arg(g.height())));
    }

    void windowFrameCaptionsAndLine() {
        RecordingForm f({});
        QCOMPARE(f.windowTitle(), QStringLiteral("StravikV3.3"));
        QCOMPARE(f.size(), QSize(449, 347));
        QCOMPARE(f.minimumSize(), f.maximumSize());
        QVERIFY(!f.windowIcon().isNull());
        QVERIFY(f.windowIcon().availableSizes().contains(QSize(32, 32)));
        QCOMPARE(f.Label1->text(), QStringLiteral("串口"));
        QCOMPARE(f.Label2->text(), QStringLiteral("原地址"));
        QCOMPARE(f.Label7->text(), QStringLiteral("新地址"));
        QCOMPARE(f.Label3->text(), QStringLiteral("行数"));
        QCOMPARE(f.Label4->text(), QStringLiteral("每行汉字数"));
        QCOMPARE(f.Label5->text(), QStringLiteral("数据正反向"));
        QCOMPARE(f.Label8[0]->text(), QStringLiteral("OE正反向"));
        QCOMPARE(f.Label8[1]->text(), QStringLiteral("扫描方式"));
        QCOMPARE(f.Label10->text(), QStringLiteral("注1：原地址选择0时，为广播设置/重启！"));
        QCOMPARE(f.Label6->text(), QStringLiteral("注2：单次发送不要超过100个字符（50个汉字）！"));
        QCOMPARE(f.Command1->text(), QStringLiteral("修改设置"));
        QCOMPARE(f.Command2->text(), QStringLiteral("重启(原地址)控制卡"));
        QCOMPARE(f.Command3->text(), QStringLiteral("退     出"));
        QCOMPARE(f.Command6->text(), QStringLiteral("设置（原地址）初始显示信息"));
        QCOMPARE(f.Command7->text(), QStringLiteral("发送（原地址）显示信息"));
        QCOMPARE(f.RichTextBox1->toPlainText(), QStringLiteral("RichTextBox1"));
        QCOMPARE(f.RichTextBox2->toPlainText(), QStringLiteral("测试通信协议！"));
        QCOMPARE(f.Label10->palette().color(QPalette::WindowText), kRed);
        QCOMPARE(f.Label6->palette().color(QPalette::WindowText), kRed);
        QVERIFY(f.Command1->font().bold());
        QVERIFY(f.Label10->font().bold());
        QVERIFY(!f.Label1->font().bold());
        QCOMPARE(f.spDTR->fillColor(), kBlack);
        QVERIFY(!f.Timer1.isActive());
        // Line1 runs from x 16 to 448 at y 232, 3 pixels thick.
        const QRect line = f.Line1->geometry();
        QVERIFY(qAbs(line.left() - 16) <= 1 && qAbs(line.right() - 448) <= 1);
        QCOMPARE(line.height(), 3);
        QVERIFY(line.top() <= 232 && line.bottom() >= 232);
    }

    void startUpOnAFreePort() {
        PtyPair pty;
        RecordingForm f({{1, pty.slavePath()}});
        f.Form_Load();
        QVERIFY(f.shown.empty());
        QVERIFY(f.MSComm1.portOpen());
        QCOMPARE(f.MSComm1.commPort(), 1);
        QCOMPARE(f.spDTR->fillColor(), kRed);

        QCOMPARE(f.Combo1->currentText(), QStringLiteral("COM1"));
        QCOMPARE(items(f.Combo1),
                 QStringList({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}));
        QCOMPARE(items(f.Combo2), numbers(0, 255));
        QCOMPARE(items(f.Combo8), numbers(1, 255));
        QCOMPARE(items(f.Combo3), numbers(1, 8));
        QCOMPARE(items(f.Combo4), numbers(4, 16));
        QCOMPARE(items(f.Combo5), QStringList({"正向", "反向"}));
        QCOMPARE(items(f.Combo6), QStringList({"正向", "反向"}));
        QCOMPARE(items(f.Combo7), QStringList({"半屏", "全屏"}));
        for (auto [combo, text] :
             {std::pair{f.Combo1, "COM1"}, std::pair{f.Combo2, "0"}, std::pair{f.Combo8, "1"},
              std::pair{f.Combo3, "1"}, std::pair{f.Combo4, "4"}}) {
            QCOMPARE(combo->currentText(), QString::fromUtf8(text));
            QCOMPARE(combo->currentIndex(), -1);
        }
        QCOMPARE(f.Combo5->currentIndex(), 1);
        QCOMPARE(f.Combo5->currentText(), QStringLiteral("反向"));
        QCOMPARE(f.Combo6->currentText(), QStringLiteral("反向"));
        QCOMPARE(f.Combo7->currentIndex(), 0);
        QCOMPARE(f.Combo7->currentText(), QStringLiteral("半屏"));
        QCOMPARE(f.RichTextBox1->toPlainText(), QStringLiteral("欢迎光临"));
        QCOMPARE(f.RichTextBox2->toPlainText(), QStringLiteral("测试通信协议！"));
        QVERIFY(!f.Timer1.isActive());
    }

    void startUpWithPortOneMissingWarnsBeforeTheWindow() {
        RecordingForm f({});
        f.Form_Load();
        QCOMPARE(f.shown.size(), size_t(1));
        QCOMPARE(f.shown[0].text, msg::kOpenFailed);
        QCOMPARE(f.shown[0].title, msg::kErrorTitle);
        QCOMPARE(f.shown[0].style, kMsgCritical);
        QVERIFY(!f.shown[0].windowVisible);
        QVERIFY(!f.MSComm1.portOpen());
        QCOMPARE(f.spDTR->fillColor(), kBlack);
        QCOMPARE(f.Combo2->count(), 256);
        QCOMPARE(f.Combo5->currentText(), QStringLiteral("反向"));
        QCOMPARE(f.RichTextBox1->toPlainText(), QStringLiteral("欢迎光临"));
    }

    void startUpWithPortOneHeldByASecondCopy() {
        PtyPair pty;
        RecordingForm first({{1, pty.slavePath()}});
        first.Form_Load();
        QVERIFY(first.MSComm1.portOpen());
        RecordingForm second({{1, pty.slavePath()}});
        second.Form_Load();
        QCOMPARE(second.shown.size(), size_t(1));
        QCOMPARE(second.shown[0].text, msg::kOpenFailed);
        QCOMPARE(second.spDTR->fillColor(), kBlack);
        QVERIFY(first.MSComm1.portOpen());
    }

    // Choosing ports: the old one closes, a failed switch leaves it closed with the lamp black,
    // and a later good choice turns the lamp red without a message.
    void choosingPorts() {
        PtyPair one, two;
        RecordingForm f({{1, one.slavePath()}, {2, two.slavePath()}});
        f.Form_Load();
        QVERIFY(f.MSComm1.portOpen());

        f.Combo1->setCurrentIndex(1);
        emit f.Combo1->activated(1);
        QVERIFY(f.shown.empty());
        QCOMPARE(f.MSComm1.commPort(), 2);
        QVERIFY(f.MSComm1.portOpen());
        QCOMPARE(f.spDTR->fillColor(), kRed);
        // The first port was released: another program can take it now.
        {
            MSComm other([&](int) { return one.slavePath(); });
            QCOMPARE(other.setPortOpen(true), CommResult::Ok);
        }
        // Bytes now go to the second device.
        QCOMPARE(f.MSComm1.setOutput("x"), CommResult::Ok);
        QCOMPARE(two.read(1), QByteArray("x"));

        f.Combo1->setCurrentIndex(4);
        emit f.Combo1->activated(4);
        QCOMPARE(f.shown.size(), size_t(1));
        QCOMPARE(f.shown[0].text, msg::kOpenFailed);
        QCOMPARE(f.shown[0].style, kMsgCritical);
        QVERIFY(!f.MSComm1.portOpen());
        QCOMPARE(f.spDTR->fillColor(), kBlack);
        {
            MSComm other([&](int) { return two.slavePath(); });
            QCOMPARE(other.setPortOpen(true), CommResult::Ok);
        }

        f.Combo1->setCurrentIndex(0);
        emit f.Combo1->activated(0);
        QCOMPARE(f.shown.size(), size_t(1));
        QVERIFY(f.MSComm1.portOpen());
        QCOMPARE(f.MSComm1.commPort(), 1);
        QCOMPARE(f.spDTR->fillColor(), kRed);

        // The port already open is closed and opened again.
        emit f.Combo1->activated(0);
        QCOMPARE(f.shown.size(), size_t(1));
        QVERIFY(f.MSComm1.portOpen());
        QCOMPARE(f.spDTR->fillColor(), kRed);
    }

    // Each item names its device in its tooltip, the list names the device opened last, and a
    // failed open says in its details which device and why, the message itself unchanged.
    void portListNamesDevicesAndReasons_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("tip");
        QTest::addColumn<QString>("details");
        QTest::newRow("ghost") << 1 << "COM2：没有对应的设备（/dev/ttyS1 没有硬件）"
                               << "/dev/ttyS1 是主板上没有硬件的串口";
        QTest::newRow("absent") << 2 << "/nonexistent/com3"
                                << "/nonexistent/com3 不存在";
        QTest::newRow("held") << 3 << "HELD"
                              << "正被另一个程序占用";
    }

    void portListNamesDevicesAndReasons() {
        QFETCH(int, index);
        QFETCH(QString, tip);
        QFETCH(QString, details);
        PtyPair one, held;
        PortTarget ghost;
        ghost.ghost = QStringLiteral("/dev/ttyS1");
        RecordingForm f({{1, one.slavePath()}, {2, ghost}, {4, held.slavePath()}});
        MSComm holder([&](int) { return held.slavePath(); });
        QCOMPARE(holder.setPortOpen(true), CommResult::Ok);
        f.Form_Load();
        QCOMPARE(f.Combo1->toolTip(), one.slavePath());
        QCOMPARE(f.Combo1->accessibleDescription(), one.slavePath());

        f.Combo1->showPopup();
        f.Combo1->hidePopup();
        QCOMPARE(f.Combo1->itemData(0, Qt::ToolTipRole).toString(), one.slavePath());
        QCOMPARE(f.Combo1->itemData(index, Qt::ToolTipRole).toString(),
                 tip == "HELD" ? held.slavePath() : tip);

        f.Combo1->setCurrentIndex(index);
        emit f.Combo1->activated(index);
        QCOMPARE(f.shown.size(), size_t(1));
        QCOMPARE(f.shown[0].text, msg::kOpenFailed);
        QVERIFY2(f.openFailureDetails().contains(details), qPrintable(f.openFailureDetails()));
        QVERIFY(!f.Combo1->toolTip().contains(one.slavePath()));

        f.Combo1->setCurrentIndex(0);
        emit f.Combo1->activated(0);
        QCOMPARE(f.Combo1->toolTip(), one.slavePath());
        QVERIFY(f.openFailureDetails().isEmpty());
    }

    void permissionDeniedNamesTheFix() {
        OpenError e;
        e.kind = OpenError::PermissionDenied;
        e.device = QStringLiteral("/dev/ttyUSB0");
        e.group = QStringLiteral("uucp");
        const QString text = msg::openFailureDetails(1, e);
        QVERIFY(text.contains("/dev/ttyUSB0") && text.contains("uucp") && text.contains("dialout"));
        QVERIFY(text.contains("重新登录"));
    }

    // Only a choice from the list moves the port: typing a port name and leaving the field
    // does not, and neither does scrolling over the list.
    void typingInThePortListSwitchesNothing() {
        PtyPair one, three;
        RecordingForm f({{1, one.slavePath()}, {3, three.slavePath()}});
        f.Form_Load();
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QSignalSpy activated(f.Combo1, &QComboBox::activated);
        f.Combo1->lineEdit()->setText(QStringLiteral("com3"));
        emit f.Combo1->lineEdit()->editingFinished();
        QTest::keyClick(f.Combo1->lineEdit(), Qt::Key_Return);
        f.Command1->setFocus();
        QCOMPARE(activated.count(), 0);
        QCOMPARE(f.MSComm1.commPort(), 1);
        QCOMPARE(f.Combo1->currentText(), QStringLiteral("com3"));
        QCOMPARE(f.Combo1->count(), 8);
    }

    // What is typed into a list reaches the commands unchanged: no completion, no case change,
    // no new item.
    void typedListTextIsKeptAsTyped() {
        RecordingForm f({});
        f.Form_Load();
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        // "1" is the start of "10" to "16": a completer would have made it "10".
        f.Combo4->setFocus();
        f.Combo4->lineEdit()->selectAll();
        QTest::keyClicks(f.Combo4->lineEdit(), QStringLiteral("1"));
        QTest::keyClick(f.Combo4->lineEdit(), Qt::Key_Tab);
        QCOMPARE(f.listText(Control::Combo4), QStringLiteral("1"));

        // "com" would have become "COM1".
        f.Combo1->setFocus();
        f.Combo1->lineEdit()->selectAll();
        QTest::keyClicks(f.Combo1->lineEdit(), QStringLiteral("com"));
        QTest::keyClick(f.Combo1->lineEdit(), Qt::Key_Return);
        f.Command1->setFocus();
        QCOMPARE(f.listText(Control::Combo1), QStringLiteral("com"));
        QCOMPARE(f.Combo1->count(), 8);

        f.Combo5->setFocus();
        f.Combo5->lineEdit()->selectAll();
        QTest::keyClicks(f.Combo5->lineEdit(), QStringLiteral("ZX "));
        QTest::keyClick(f.Combo5->lineEdit(), Qt::Key_Return);
        f.Command1->setFocus();
        QCOMPARE(f.listText(Control::Combo5), QStringLiteral("ZX "));
        QCOMPARE(f.Combo5->count(), 2);
    }

    void listSelectionByIndex() {
        RecordingForm f({});
        f.Form_Load();
        QVERIFY(f.setListIndex(Control::Combo3, 7));
        QCOMPARE(f.listText(Control::Combo3), QStringLiteral("8"));
        QVERIFY(!f.setListIndex(Control::Combo3, 8));
        QCOMPARE(f.listText(Control::Combo3), QStringLiteral("8"));
        QVERIFY(f.setListIndex(Control::Combo3, -1));
        QCOMPARE(f.listText(Control::Combo3), QString());
        QCOMPARE(f.Combo3->currentIndex(), -1);
        QVERIFY(!f.setListIndex(Control::Combo7, 2));
        QCOMPARE(f.listText(Control::Combo7), QStringLiteral("半屏"));
    }

    void textBoxesGiveLineBreaksAsCrLf() {
        RecordingForm f({});
        f.RichTextBox2->setPlainText(QStringLiteral("第一行\n第二行\tA") + QChar(0x00A0));
        QCOMPARE(f.plainText(Control::RichTextBox2),
                 QStringLiteral("第一行\r\n第二行\tA") + QChar(0x00A0));
        f.RichTextBox1->setPlainText(QString());
        QCOMPARE(f.plainText(Control::RichTextBox1), QString());
    }

    void exitReleasesThePort_data() {
        QTest::addColumn<bool>("byButton");
        QTest::newRow("退出 button") << true;
        QTest::newRow("close box") << false;
    }
    void exitReleasesThePort() {
        QFETCH(bool, byButton);
        PtyPair pty;
        RecordingForm f({{1, pty.slavePath()}});
        f.Form_Load();
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        if (byButton)
            QTest::mouseClick(f.Command3, Qt::LeftButton);
        else
            f.close();
        QVERIFY(!f.isVisible());
        QVERIFY(!f.MSComm1.portOpen());
        MSComm other([&](int) { return pty.slavePath(); });
        QCOMPARE(other.setPortOpen(true), CommResult::Ok);
    }
};

STRAVIK_SUITE("window", WindowTest);
#include "test_window.moc"
