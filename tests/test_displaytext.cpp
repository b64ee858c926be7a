#include "protocol/commands.h"
#include "tests/formfixture.h"
#include "tests/pty.h"
#include "tests/suites.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <optional>

using namespace std::chrono_literals;

namespace {

const QString kInitialCaption = QStringLiteral("设置（原地址）初始显示信息");
const QString kDisplayCaption = QStringLiteral("发送（原地址）显示信息");

QPushButton *button(const Form1 &form, int number) {
    return number == 6 ? form.Command6 : form.Command7;
}

QPlainTextEdit *box(const Form1 &form, int number) {
    return number == 6 ? form.RichTextBox1 : form.RichTextBox2;
}

QStringList listTexts(const Form1 &form) {
    return {form.Combo1->currentText(), form.Combo2->currentText(), form.Combo3->currentText(),
            form.Combo4->currentText(), form.Combo5->currentText(), form.Combo6->currentText(),
            form.Combo7->currentText(), form.Combo8->currentText()};
}

QByteArray frameOf(const char *head, const QByteArray &payload) {
    return QByteArray::fromHex(head) + payload + QByteArray::fromHex("1a");
}

// A machine with no conversion to code page 936 at all.
class NoConversion : public CodePage936 {
  public:
    bool isValid() const override { return false; }
    QByteArray encode(const QString &text) const override { return QByteArray(text.size(), '?'); }
};

QString repeated(const QString &piece, int times) {
    QString out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

} // namespace

class DisplayTextTest : public QObject {
    Q_OBJECT
  private slots:
    void frameAndCaption_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("caption");
        QTest::newRow("initial AB to 1")
            << 6 << "1"
            << "AB" << QByteArray::fromHex("81c05341421a") << "设置地址1初始显示信息(2)";
        QTest::newRow("initial 欢迎光临 to 1")
            << 6 << "1"
            << "欢迎光临" << QByteArray::fromHex("81c0530b0b0b060d030a0d0b090e020c010d091a")
            << "设置地址1初始显示信息(8)";
        QTest::newRow("initial A欢 to 1")
            << 6 << "1"
            << "A欢" << QByteArray::fromHex("81c053410b0b0b061a") << "设置地址1初始显示信息(3)";
        QTest::newRow("initial AB to broadcast 0")
            << 6 << "0"
            << "AB" << QByteArray::fromHex("80c05341421a") << "设置地址0初始显示信息(2)";
        QTest::newRow("initial empty text")
            << 6 << "1"
            << "" << QByteArray::fromHex("81c0531a") << "设置地址1初始显示信息(0)";
        QTest::newRow("display empty text")
            << 7 << "1"
            << "" << QByteArray::fromHex("81c0441a") << "发送地址1显示信息(0)";
        QTest::newRow("display 测试通信协议！ to 1")
            << 7 << "1"
            << "测试通信协议！"
            << QByteArray::fromHex(
                   "81c0440b020e020c0a0d040c0d0a080d000c050d000a0d0d020e090a030a011a")
            << "发送地址1显示信息(14)";
        QTest::newRow("display 测试通信协议！ and a line break as CR LF")
            << 7 << "1"
            << "测试通信协议！\n"
            << QByteArray::fromHex(
                   "81c0440b020e020c0a0d040c0d0a080d000c050d000a0d0d020e090a030a010d0a1a")
            << "发送地址1显示信息(16)";
        QTest::newRow("display AB to 200")
            << 7 << "200"
            << "AB" << QByteArray::fromHex("88c34441421a") << "发送地址200显示信息(2)";
        QTest::newRow("initial AB to 255")
            << 6 << "255"
            << "AB" << QByteArray::fromHex("bfc35341421a") << "设置地址255初始显示信息(2)";
        QTest::newRow("address with blanks shown as typed")
            << 7 << " 12 "
            << "AB" << QByteArray::fromHex("8cc04441421a") << "发送地址 12 显示信息(2)";
        QTest::newRow("text holding 0x1A")
            << 6 << "1"
            << QStringLiteral("A\x1a"
                              "B")
            << QByteArray::fromHex("81c053411a421a") << "设置地址1初始显示信息(3)";
        QTest::newRow("tab and two lines")
            << 7 << "1"
            << "A\tB\nC" << QByteArray::fromHex("81c0444109420d0a431a") << "发送地址1显示信息(6)";
        QTest::newRow("euro is the single byte 0x80, the A after it kept")
            << 6 << "1"
            << "€A" << QByteArray::fromHex("81c0530800411a") << "设置地址1初始显示信息(2)";
        QTest::newRow("丂 has a second byte below 0x80, no stray 0x00")
            << 6 << "1"
            << "丂" << QByteArray::fromHex("81c0530801401a") << "设置地址1初始显示信息(2)";
        QTest::newRow("text byte 0xFF")
            << 6 << "1" << QString(QChar(0xF8F5)) + u'A' << QByteArray::fromHex("81c0530f0f411a")
            << "设置地址1初始显示信息(2)";
        QTest::newRow("character code page 936 lacks goes as ?")
            << 7 << "1"
            << "กA" << QByteArray::fromHex("81c0443f411a") << "发送地址1显示信息(2)";
        QTest::newRow("character outside the BMP goes as one ?")
            << 7 << "1"
            << "😀A" << QByteArray::fromHex("81c0443f411a") << "发送地址1显示信息(2)";
        QTest::newRow("lone surrogate goes as one ?")
            << 7 << "1" << QString(QChar(0xD800)) + u'A' << QByteArray::fromHex("81c0443f411a")
            << "发送地址1显示信息(2)";
        QTest::newRow("fifty Chinese characters, the note's limit")
            << 6 << "1" << repeated("欢", 50)
            << frameOf("81c053", QByteArray::fromHex("0b0b0b06").repeated(50))
            << "设置地址1初始显示信息(100)";
        QTest::newRow("longest frame, 32767 bytes")
            << 7 << "1" << QString(32763, u'A') << frameOf("81c044", QByteArray(32763, 'A'))
            << "发送地址1显示信息(32763)";
    }
    void frameAndCaption() {
        QFETCH(int, command);
        QFETCH(QString, address);
        QFETCH(QString, text);
        QFETCH(QByteArray, frame);
        QFETCH(QString, caption);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        form.Combo2->setEditText(address);
        box(form, command)->setPlainText(text);
        const QString initialBox = form.RichTextBox1->toPlainText();
        const QString displayBox = form.RichTextBox2->toPlainText();
        const QStringList lists = listTexts(form);
        const int other = command == 6 ? 7 : 6;
        const QString otherCaption = button(form, other)->text();

        click(button(form, command));

        QCOMPARE(form.sentBeforeMarker(pty), frame);
        QCOMPARE(button(form, command)->text(), caption);
        QCOMPARE(button(form, other)->text(), otherCaption);
        QCOMPARE(form.shown(), QStringList());
        QVERIFY(!form.Timer1.isActive());
        QCOMPARE(form.RichTextBox1->toPlainText(), initialBox);
        QCOMPARE(form.RichTextBox2->toPlainText(), displayBox);
        QCOMPARE(listTexts(form), lists);
    }

    void bothButtonsDifferOnlyInTheLetter_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("AB") << "AB";
        QTest::newRow("欢迎光临") << "欢迎光临";
        QTest::newRow("two lines") << "测试通信协议！\n第二行";
        QTest::newRow("euro and 丂") << "€A丂";
        QTest::newRow("empty") << "";
    }
    void bothButtonsDifferOnlyInTheLetter() {
        QFETCH(QString, text);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        form.Combo2->setEditText(QStringLiteral("100"));
        form.RichTextBox1->setPlainText(text);
        form.RichTextBox2->setPlainText(text);

        click(form.Command6);
        const QByteArray initial = form.sentBeforeMarker(pty);
        click(form.Command7);
        const QByteArray display = form.sentBeforeMarker(pty);

        QVERIFY(initial.size() >= 4);
        QCOMPARE(initial.left(3), QByteArray::fromHex("a4c153"));
        QCOMPARE(display.size(), initial.size());
        QCOMPARE(display.at(2), 'D');
        QByteArray asDisplay = initial;
        asDisplay[2] = 'D';
        QCOMPARE(display, asDisplay);
        // Both report the same byte count, each on its own button.
        QCOMPARE(form.Command6->text().section(u'(', 1), form.Command7->text().section(u'(', 1));
    }

    void twoClicksSendTwoIdenticalFrames_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("caption");
        QTest::newRow("initial display text")
            << 6 << QByteArray::fromHex("81c0530b0b0b060d030a0d0b090e020c010d091a")
            << "设置地址1初始显示信息(8)";
        QTest::newRow("display text")
            << 7 << QByteArray::fromHex("81c0440b0b0b060d030a0d0b090e020c010d091a")
            << "发送地址1显示信息(8)";
    }
    void twoClicksSendTwoIdenticalFrames() {
        QFETCH(int, command);
        QFETCH(QByteArray, frame);
        QFETCH(QString, caption);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        form.Combo2->setEditText(QStringLiteral("1"));
        box(form, command)->setPlainText(QStringLiteral("欢迎光临"));

        click(button(form, command));
        QCOMPARE(form.sentBeforeMarker(pty), frame);
        QCOMPARE(button(form, command)->text(), caption);
        click(button(form, command));
        QCOMPARE(form.sentBeforeMarker(pty), frame);
        QCOMPARE(button(form, command)->text(), caption);
        QCOMPARE(form.shown(), QStringList());
    }

    void refusedSendKeepsTheCaption_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("converts"); // false: the machine has no code page 936
        const QString badAddress = QStringLiteral("原地址必须是0到255之间的整数！");
        const QString tooLong = QStringLiteral("显示信息过长，未发送！");
        const QString noGbk = QStringLiteral("无法转换为GBK编码，显示信息未发送！");
        for (const int command : {6, 7}) {
            for (const char *address : {"", "abc", "-1", "1.5", "&H10", "256", "1e2"})
                QTest::addRow("Command%d, address \"%s\"", command, address)
                    << command << QString::fromUtf8(address) << "AB" << badAddress << true;
            QTest::addRow("Command%d, 16400 Chinese characters", command)
                << command << "1" << repeated("欢", 16400) << tooLong << true;
            QTest::addRow("Command%d, one byte past the longest frame", command)
                << command << "1" << QString(32764, u'A') << tooLong << true;
            QTest::addRow("Command%d, no code page 936, Chinese", command)
                << command << "1"
                << "欢迎光临" << noGbk << false;
            QTest::addRow("Command%d, no code page 936, ASCII alone", command)
                << command << "1"
                << "AB" << noGbk << false;
        }
    }
    void refusedSendKeepsTheCaption() {
        QFETCH(int, command);
        QFETCH(QString, address);
        QFETCH(QString, text);
        QFETCH(QString, message);
        QFETCH(bool, converts);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        // A send that went out first, so the caption to keep is a summary.
        form.Combo2->setEditText(QStringLiteral("1"));
        box(form, command)->setPlainText(QStringLiteral("AB"));
        click(button(form, command));
        QCOMPARE(form.sentBeforeMarker(pty).size(), 6);
        const QString caption = button(form, command)->text();
        QCOMPARE(caption, command == 6 ? QStringLiteral("设置地址1初始显示信息(2)")
                                       : QStringLiteral("发送地址1显示信息(2)"));

        form.Combo2->setEditText(address);
        box(form, command)->setPlainText(text);
        const QStringList lists = listTexts(form);
        if (converts)
            click(button(form, command));
        else
            QCOMPARE(SendDisplayText(form, form.MSComm1,
                                     command == 6 ? initialDisplayText() : currentDisplayText(),
                                     NoConversion()),
                     CommandOutcome::NoCodePage);

        QCOMPARE(form.sentBeforeMarker(pty), QByteArray());
        QCOMPARE(button(form, command)->text(), caption);
        QCOMPARE(form.shown(),
                 QStringList{FormOnPty::describeMessage(QStringLiteral("错误提示"), 16, message)});
        QVERIFY(!form.Timer1.isActive());
        QCOMPARE(box(form, command)->toPlainText(), text);
        QCOMPARE(listTexts(form), lists);
    }

    // After a restart the reply timer runs; a display text sent meanwhile leaves it running,
    // drops the bytes waiting on the port, and leaves the lists and boxes alone.
    void leavesTheReplyTimerListsAndBoxes_data() {
        QTest::addColumn<int>("command");
        QTest::newRow("initial display text") << 6;
        QTest::newRow("display text") << 7;
    }
    void leavesTheReplyTimerListsAndBoxes() {
        QFETCH(int, command);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        form.Combo2->setEditText(QStringLiteral("1"));
        form.Combo3->setEditText(QStringLiteral("rows"));
        form.Combo4->setEditText(QStringLiteral("chars"));
        form.Combo5->setEditText(QStringLiteral("data"));
        form.Combo6->setEditText(QStringLiteral("oe"));
        form.Combo7->setEditText(QStringLiteral("scan"));
        form.Combo8->setEditText(QStringLiteral("new"));
        form.RichTextBox1->setPlainText(QStringLiteral("AB"));
        form.RichTextBox2->setPlainText(QStringLiteral("AB"));
        const QStringList lists = listTexts(form);

        click(form.Command2);
        QCOMPARE(form.sentBeforeMarker(pty), QByteArray::fromHex("81c0581a"));
        const QByteArray reply = QByteArray::fromHex("00050002000c110001");
        QVERIFY(pty.write(reply));
        QVERIFY(waitFor(
            [&] { return form.MSComm1.inBufferCount() == std::optional<int>(reply.size()); }));
        QVERIFY(form.Timer1.isActive());

        click(button(form, command));
        QCOMPARE(form.sentBeforeMarker(pty),
                 QByteArray::fromHex(command == 6 ? "81c05341421a" : "81c04441421a"));
        QVERIFY(form.Timer1.isActive());
        QCOMPARE(form.Timer1.interval(), 500);
        QCOMPARE(form.MSComm1.inBufferCount(), std::optional<int>(0));

        // The tick still comes and finds no reply.
        QVERIFY(waitFor([&] { return !form.Timer1.isActive(); }, 3s));
        QCOMPARE(listTexts(form), lists);
        QCOMPARE(form.RichTextBox1->toPlainText(), QStringLiteral("AB"));
        QCOMPARE(form.RichTextBox2->toPlainText(), QStringLiteral("AB"));
        QCOMPARE(form.shown(), QStringList());
    }
};

STRAVIK_SUITE("displaytext", DisplayTextTest);
#include "test_displaytext.moc"
