#include "tests/suites.h"
#include "tests/support/fixtures.h"
#include "tests/support/places.h"
#include "tests/support/pty.h"
#include "tests/support/recordingform.h"
#include "texts/messages.h"
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
        for (const ControlPlace &place : controlPlaces())
            QTest::newRow(place.name) << QString::fromLatin1(place.name) << place.twips();
    }
    void controlsSitAtTheirPlaces() {
        QFETCH(QString, name);
        QFETCH(QRect, twips);
        RecordingForm f;
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
        RecordingForm f;
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
        // Line1 runs from x 16 to 448 at y 232, 3 pixels thick.
        const QRect line = f.Line1->geometry();
        QVERIFY(qAbs(line.left() - 16) <= 1 && qAbs(line.right() - 448) <= 1);
        QCOMPARE(line.height(), 3);
        QVERIFY(line.top() <= 232 && line.bottom() >= 232);
    }

    void startUpOnAFreePort() {
        WindowOnPty window; // ready: the port open, no message, the lamp red
        QVERIFY(window.ready());
        RecordingForm &f = window.form;
        QCOMPARE(f.MSComm1.commPort(), 1);

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
    }

    void startUpWithPortOneMissingWarnsBeforeTheWindow() {
        RecordingForm f;
        f.Form_Load();
        QCOMPARE(f.shown(), QStringList{errorMessage(msg::kOpenFailed)});
        QVERIFY(!f.messages[0].windowVisible);
        QVERIFY(!f.MSComm1.portOpen());
        QCOMPARE(f.spDTR->fillColor(), kBlack);
        QCOMPARE(f.Combo2->count(), 256);
        QCOMPARE(f.Combo5->currentText(), QStringLiteral("反向"));
        QCOMPARE(f.RichTextBox1->toPlainText(), QStringLiteral("欢迎光临"));
    }

    // Choosing ports: the old one closes, a failed switch leaves it closed with the lamp black,
    // and a later good choice turns the lamp red without a message.
    void choosingPorts() {
        PtyPair one, two;
        RecordingForm f({{1, one.slavePath()}, {2, two.slavePath()}});
        f.Form_Load();
        QVERIFY(f.MSComm1.portOpen());

        f.choosePort(2);
        QVERIFY(f.messages.isEmpty());
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

        f.choosePort(5);
        QCOMPARE(f.shown(), QStringList{errorMessage(msg::kOpenFailed)});
        QVERIFY(!f.MSComm1.portOpen());
        QCOMPARE(f.spDTR->fillColor(), kBlack);
        {
            MSComm other([&](int) { return two.slavePath(); });
            QCOMPARE(other.setPortOpen(true), CommResult::Ok);
        }

        f.choosePort(1);
        QCOMPARE(f.messages.size(), 1);
        QVERIFY(f.MSComm1.portOpen());
        QCOMPARE(f.MSComm1.commPort(), 1);
        QCOMPARE(f.spDTR->fillColor(), kRed);

        // The port already open is closed and opened again.
        f.choosePort(1);
        QCOMPARE(f.messages.size(), 1);
        QVERIFY(f.MSComm1.portOpen());
        QCOMPARE(f.spDTR->fillColor(), kRed);
    }

    // Past COM1..COM8 the list offers the ports found beyond them, by number, found again each
    // time it opens (an adapter plugged in appears, one pulled goes) with the choice kept; an
    // item past COM8 opens that number's device.
    void portListOffersPortsPastEight() {
        PtyPair one, eleven, thirteen;
        const auto port = [](int number, const QString &device, const char *description = "") {
            return ListedPort{number, device, {}, description, {}};
        };
        QList<ListedPort> found{port(13, thirteen.slavePath()),
                                port(11, eleven.slavePath(), "USB-SERIAL CH340 (COM11)")};
        RecordingForm f({{1, one.slavePath()}, {11, eleven.slavePath()}},
                        [&] { return listPorts(found); });
        const auto pastEight = [&] {
            f.Combo1->showPopup();
            f.Combo1->hidePopup();
            QStringList items;
            for (int i = kLastCommPort; i < f.Combo1->count(); ++i)
                items << f.Combo1->itemText(i);
            return items;
        };
        QVERIFY(f.load());
        QCOMPARE(pastEight(), (QStringList{"COM11", "COM13"}));
        QCOMPARE(f.Combo1->itemText(kLastCommPort - 1), QStringLiteral("COM8"));
        QCOMPARE(f.Combo1->itemData(kLastCommPort, Qt::ToolTipRole).toString(),
                 eleven.slavePath() + QStringLiteral(" — USB-SERIAL CH340 (COM11)"));
        QCOMPARE(f.Combo1->itemData(4, Qt::ToolTipRole).toString(), msg::noDevice("COM5", {}));

        f.choosePort(11);
        QVERIFY(f.messages.isEmpty());
        QCOMPARE(f.MSComm1.commPort(), 11);
        QCOMPARE(f.MSComm1.device(), eleven.slavePath());
        QCOMPARE(f.sentBeforeMarker(eleven), QByteArray());

        found.removeFirst();
        found.append(port(12, thirteen.slavePath()));
        QCOMPARE(pastEight(), (QStringList{"COM11", "COM12"}));
        QCOMPARE(f.Combo1->currentText(), QStringLiteral("COM11"));
        QCOMPARE(f.Combo1->currentIndex(), kLastCommPort);

        found.removeLast();
        found.removeLast();
        QCOMPARE(pastEight(), QStringList());
        QCOMPARE(f.Combo1->currentText(), QStringLiteral("COM11"));
        QCOMPARE(f.Combo1->currentIndex(), -1);
    }

    // Each item names its device in its tooltip, the list names the device opened last, and a
    // failed open says in its details which device and why, the message itself unchanged.
    void portListNamesDevicesAndReasons_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("tip");
        QTest::addColumn<QString>("details");
        QTest::newRow("ghost") << 1 << "COM2：没有对应的设备（/dev/ttyS1 没有硬件）"
                               << "/dev/ttyS1 是主板上没有硬件的串口";
        QTest::newRow("absent") << 2 << "/nonexistent/stravik-com3"
                                << "/nonexistent/stravik-com3 不存在";
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

        f.choosePort(index + 1);
        QCOMPARE(f.shown(), QStringList{errorMessage(msg::kOpenFailed)});
        QVERIFY2(f.openFailureDetails().contains(details), qPrintable(f.openFailureDetails()));
        QVERIFY(!f.Combo1->toolTip().contains(one.slavePath()));

        f.choosePort(1);
        QCOMPARE(f.Combo1->toolTip(), one.slavePath());
        QVERIFY(f.openFailureDetails().isEmpty());
    }

    // The boxes as the operator reads them, worded once here; every other suite takes the
    // texts from messages.h. None of the refused commands sends anything.
    void boxesInTheOperatorsWords() {
        WindowOnPty window;
        QVERIFY(window.ready());
        RecordingForm &f = window.form;
        for (QComboBox *list : {f.Combo2, f.Combo8, f.Combo3, f.Combo4}) {
            const QString before = list->currentText();
            list->setEditText(QStringLiteral("x"));
            click(f.Command1);
            list->setEditText(before);
        }
        f.RichTextBox2->setPlainText(QString(kMaxFrameLength, u'a'));
        click(f.Command7);
        f.answer = kMsgResultCancel;
        click(f.Command1);
        QCOMPARE(f.sentBeforeMarker(window.pty), QByteArray());
        f.choosePort(2);
        click(f.Command2);
        QCOMPARE(
            f.shown(),
            QStringList({"[错误提示] style 16: 原地址必须是0到255之间的整数！",
                         "[错误提示] style 16: 新地址必须是0到255之间的整数！",
                         "[错误提示] style 16: 行数必须是0到255之间的整数！",
                         "[错误提示] style 16: 每行汉字数必须是0到255之间的整数！",
                         "[错误提示] style 16: 显示信息过长，未发送！",
                         "[控制卡地址修改] style 1: 确定将所有控制卡修改成相同地址吗？",
                         "[错误提示] style 16: 串口被占用或此串口不存在！请更改串口！",
                         "[错误提示] style 16: 串口未打开，命令未发送！请先选择可用的串口！"}));
        QCOMPARE(msg::refusal({Refusal::NoCodePage, CommandValue::Text}),
                 QStringLiteral("无法转换为GBK编码，显示信息未发送！"));
    }

    // The fix an open failure names is the system's own: Linux's device names, groups and
    // commands never reach a Windows operator.
    void openFailureNamesTheSystemsFix_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("system");
        QTest::addColumn<QStringList>("named");
        QTest::addColumn<QStringList>("notNamed");
        const int onLinux = int(msg::System::Linux), onWindows = int(msg::System::Windows);
        QTest::newRow("permission, Linux")
            << int(OpenError::PermissionDenied) << onLinux
            << QStringList{"/dev/ttyUSB0", "uucp", "dialout", "重新登录"} << QStringList{};
        QTest::newRow("permission, Windows")
            << int(OpenError::PermissionDenied) << onWindows << QStringList{"/dev/ttyUSB0"}
            << QStringList{"dialout", "uucp", "sudo"};
        QTest::newRow("no device, Linux")
            << int(OpenError::NoDevice) << onLinux << QStringList{"COM1", "/dev/ttyS0 不存在"}
            << QStringList{};
        QTest::newRow("no device, Windows")
            << int(OpenError::NoDevice) << onWindows << QStringList{"COM1", "USB 串口适配器"}
            << QStringList{"/dev/", "内核"};
    }
    void openFailureNamesTheSystemsFix() {
        QFETCH(int, kind);
        QFETCH(int, system);
        QFETCH(QStringList, named);
        QFETCH(QStringList, notNamed);
        OpenError e;
        e.kind = OpenError::Kind(kind);
        if (e.kind == OpenError::PermissionDenied) {
            e.device = QStringLiteral("/dev/ttyUSB0");
            e.group = QStringLiteral("uucp");
        }
        const QString text = msg::openFailureDetails(1, e, msg::System(system));
        for (const QString &part : named)
            QVERIFY2(text.contains(part), qPrintable(text));
        for (const QString &part : notNamed)
            QVERIFY2(!text.contains(part), qPrintable(text));
    }

    // Only a choice from the list (or Enter, see the typed-port suite) moves the port: typing
    // a port name and leaving the field does not.
    void typingInThePortListSwitchesNothing() {
        PtyPair one, three;
        RecordingForm f({{1, one.slavePath()}, {3, three.slavePath()}});
        f.Form_Load();
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QSignalSpy activated(f.Combo1, &QComboBox::activated);
        f.Combo1->lineEdit()->setText(QStringLiteral("com3"));
        emit f.Combo1->lineEdit()->editingFinished();
        f.Command1->setFocus();
        QCOMPARE(activated.count(), 0);
        QCOMPARE(f.MSComm1.commPort(), 1);
        QCOMPARE(f.Combo1->currentText(), QStringLiteral("com3"));
        QCOMPARE(f.Combo1->count(), 8);
    }

    // What is typed into a list reaches the commands unchanged: no completion, no case change,
    // no new item.
    void typedListTextIsKeptAsTyped() {
        RecordingForm f;
        f.Form_Load();
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        // "1" is the start of "10" to "16": a completer would have made it "10".
        f.Combo4->setFocus();
        f.Combo4->lineEdit()->selectAll();
        QTest::keyClicks(f.Combo4->lineEdit(), QStringLiteral("1"));
        QTest::keyClick(f.Combo4->lineEdit(), Qt::Key_Tab);
        QCOMPARE(f.Combo4->currentText(), QStringLiteral("1"));

        // "com" would have become "COM1".
        f.Combo1->setFocus();
        f.Combo1->lineEdit()->selectAll();
        QTest::keyClicks(f.Combo1->lineEdit(), QStringLiteral("com"));
        QTest::keyClick(f.Combo1->lineEdit(), Qt::Key_Return);
        f.Command1->setFocus();
        QCOMPARE(f.Combo1->currentText(), QStringLiteral("com"));
        QCOMPARE(f.Combo1->count(), 8);

        f.Combo5->setFocus();
        f.Combo5->lineEdit()->selectAll();
        QTest::keyClicks(f.Combo5->lineEdit(), QStringLiteral("ZX "));
        QTest::keyClick(f.Combo5->lineEdit(), Qt::Key_Return);
        f.Command1->setFocus();
        QCOMPARE(f.Combo5->currentText(), QStringLiteral("ZX "));
        QCOMPARE(f.Combo5->count(), 2);
    }

    // Leaving releases the port and stops the reply timer.
    void exitReleasesThePort_data() {
        QTest::addColumn<bool>("byButton");
        QTest::newRow("退出 button") << true;
        QTest::newRow("close box") << false;
    }
    void exitReleasesThePort() {
        QFETCH(bool, byButton);
        WindowOnPty window;
        QVERIFY(window.ready());
        RecordingForm &f = window.form;
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        // A restart's reply is still awaited: leaving forgets it, no tick comes after.
        click(f.Command2);
        QVERIFY(f.Timer1.isActive());
        if (byButton)
            click(f.Command3);
        else
            f.close();
        QVERIFY(!f.isVisible());
        QVERIFY(!f.MSComm1.portOpen());
        QVERIFY(!f.Timer1.isActive());
        MSComm other([&](int) { return window.pty.slavePath(); });
        QCOMPARE(other.setPortOpen(true), CommResult::Ok);
    }
};

STRAVIK_SUITE("window", WindowTest);
#include "test_window.moc"
