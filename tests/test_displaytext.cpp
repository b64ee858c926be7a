#include "card/messages.h"
#include "tests/suites.h"
#include "tests/support/golden.h"
#include "tests/support/pty.h"
#include "tests/support/recordingform.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <optional>

using namespace std::chrono_literals;

namespace {

QPlainTextEdit *box(const Form1 &form, int number) {
    return number == 6 ? form.RichTextBox1 : form.RichTextBox2;
}

// The caption a send leaves on its button: the address as typed and the byte count.
QString caption(int command, const QString &address, int bytes) {
    return (command == 6 ? QStringLiteral("设置地址%1初始显示信息(%2)")
                         : QStringLiteral("发送地址%1显示信息(%2)"))
        .arg(address)
        .arg(bytes);
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
        QTest::addColumn<QString>("text"); // as typed into the box: a line break as LF
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("caption");
        for (const GoldenText &g : goldenTexts()) {
            const int command = g.letter == kLetterInitialText ? 6 : 7;
            const QString address = QString::number(g.address);
            QTest::newRow(g.name) << command << address
                                  << QString(g.text).replace(QStringLiteral("\r\n"),
                                                             QStringLiteral("\n"))
                                  << g.frame << caption(command, address, g.B);
        }
        QTest::newRow("address with blanks shown as typed")
            << 7 << " 12 "
            << "AB" << QByteArray::fromHex("8cc04441421a") << caption(7, " 12 ", 2);
        QTest::newRow("fifty Chinese characters, the note's limit")
            << 6 << "1" << repeated("欢", 50)
            << frameOf("81c053", QByteArray::fromHex("0b0b0b06").repeated(50))
            << caption(6, "1", 100);
        QTest::newRow("longest frame, 32767 bytes")
            << 7 << "1" << QString(32763, u'A') << frameOf("81c044", QByteArray(32763, 'A'))
            << caption(7, "1", 32763);
    }
    void frameAndCaption() {
        QFETCH(int, command);
        QFETCH(QString, address);
        QFETCH(QString, text);
        QFETCH(QByteArray, frame);
        QFETCH(QString, caption);
        PtyPair pty;
        QVERIFY(pty.isValid());
        RecordingForm form(pty);
        QVERIFY(form.load());
        form.Combo2->setEditText(address);
        box(form, command)->setPlainText(text);
        const QString initialBox = form.RichTextBox1->toPlainText();
        const QString displayBox = form.RichTextBox2->toPlainText();
        const QStringList lists = listTexts(form);
        const int other = command == 6 ? 7 : 6;
        const QString otherCaption = commandButton(form, other)->text();

        click(commandButton(form, command));

        QCOMPARE(form.sentBeforeMarker(pty), frame);
        QCOMPARE(commandButton(form, command)->text(), caption);
        QCOMPARE(commandButton(form, other)->text(), otherCaption);
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
        RecordingForm form(pty);
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
        QTest::newRow("initial display text") << 6 << golden("welcome text") << caption(6, "1", 8);
        QTest::newRow("display text")
            << 7 << QByteArray::fromHex("81c0440b0b0b060d030a0d0b090e020c010d091a")
            << caption(7, "1", 8);
    }
    void twoClicksSendTwoIdenticalFrames() {
        QFETCH(int, command);
        QFETCH(QByteArray, frame);
        QFETCH(QString, caption);
        PtyPair pty;
        QVERIFY(pty.isValid());
        RecordingForm form(pty);
        QVERIFY(form.load());
        form.Combo2->setEditText(QStringLiteral("1"));
        box(form, command)->setPlainText(QStringLiteral("欢迎光临"));

        click(commandButton(form, command));
        QCOMPARE(form.sentBeforeMarker(pty), frame);
        QCOMPARE(commandButton(form, command)->text(), caption);
        click(commandButton(form, command));
        QCOMPARE(form.sentBeforeMarker(pty), frame);
        QCOMPARE(commandButton(form, command)->text(), caption);
        QCOMPARE(form.shown(), QStringList());
    }

    void refusedSendKeepsTheCaption_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("converts"); // false: the machine has no code page 936
        const QString badAddress = msg::notAByte(msg::kLabelOriginalAddress);
        const QString tooLong = msg::kTextTooLong;
        const QString noGbk = msg::kNoGbkConversion;
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
        RecordingForm form(pty);
        QVERIFY(form.load());
        // A send that went out first, so the caption to keep is a summary.
        form.Combo2->setEditText(QStringLiteral("1"));
        box(form, command)->setPlainText(QStringLiteral("AB"));
        click(commandButton(form, command));
        QCOMPARE(form.sentBeforeMarker(pty), knownFrame(command));
        const QString sentCaption = commandButton(form, command)->text();
        QCOMPARE(sentCaption, caption(command, "1", 2));

        form.Combo2->setEditText(address);
        box(form, command)->setPlainText(text);
        const QStringList lists = listTexts(form);
        QStringList shown;
        if (converts) {
            click(commandButton(form, command));
            shown = form.shown();
        } else {
            // The card commands on a machine without the code page; the window shows what
            // they return.
            const CommandOutcome outcome =
                form.card.sendText(1, command == 6 ? DisplayText::Initial : DisplayText::Current,
                                   text, NoConversion());
            QCOMPARE(outcome.status, CommandOutcome::Refused);
            shown << errorMessage(msg::refusal(outcome.refusal));
        }

        QCOMPARE(form.sentBeforeMarker(pty), QByteArray());
        QCOMPARE(commandButton(form, command)->text(), sentCaption);
        QCOMPARE(shown, QStringList{errorMessage(message)});
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
        RecordingForm form(pty);
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

        click(commandButton(form, command));
        QCOMPARE(form.sentBeforeMarker(pty), knownFrame(command));
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
