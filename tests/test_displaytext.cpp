#include "tests/suites.h"
#include "tests/support/fixtures.h"
#include "tests/support/golden.h"
#include "texts/messages.h"

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
                                  << g.frame << caption(command, address, g.textBytes);
        }
        QTest::newRow("address with blanks shown as typed")
            << 7 << " 12 "
            << "AB" << QByteArray::fromHex("8cc04441421a") << caption(7, " 12 ", 2);
    }
    void frameAndCaption() {
        QFETCH(int, command);
        QFETCH(QString, address);
        QFETCH(QString, text);
        QFETCH(QByteArray, frame);
        QFETCH(QString, caption);
        WindowOnPty w;
        QVERIFY(w.ready());
        w.form.Combo2->setEditText(address);
        box(w.form, command)->setPlainText(text);
        const QString initialBox = w.form.RichTextBox1->toPlainText();
        const QString displayBox = w.form.RichTextBox2->toPlainText();
        const QStringList lists = listTexts(w.form);
        const int other = command == 6 ? 7 : 6;
        const QString otherCaption = commandButton(w.form, other)->text();

        click(commandButton(w.form, command));

        QCOMPARE(w.form.sentBeforeMarker(w.pty), frame);
        QCOMPARE(commandButton(w.form, command)->text(), caption);
        QCOMPARE(commandButton(w.form, other)->text(), otherCaption);
        QCOMPARE(w.form.shown(), QStringList());
        QVERIFY(!w.form.Timer1.isActive());
        QCOMPARE(w.form.RichTextBox1->toPlainText(), initialBox);
        QCOMPARE(w.form.RichTextBox2->toPlainText(), displayBox);
        QCOMPARE(listTexts(w.form), lists);
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
        WindowOnPty w;
        QVERIFY(w.ready());
        w.form.Combo2->setEditText(QStringLiteral("1"));
        box(w.form, command)->setPlainText(QStringLiteral("欢迎光临"));

        click(commandButton(w.form, command));
        QCOMPARE(w.form.sentBeforeMarker(w.pty), frame);
        QCOMPARE(commandButton(w.form, command)->text(), caption);
        click(commandButton(w.form, command));
        QCOMPARE(w.form.sentBeforeMarker(w.pty), frame);
        QCOMPARE(commandButton(w.form, command)->text(), caption);
        QCOMPARE(w.form.shown(), QStringList());
    }

    void refusedSendKeepsTheCaption_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        const QString badAddress = msg::notAByte(msg::kLabelOriginalAddress);
        const QString tooLong = msg::kTextTooLong;
        for (const int command : {6, 7}) {
            for (const char *address : {"", "abc", "-1", "1.5", "&H10", "256", "1e2"})
                QTest::addRow("Command%d, address \"%s\"", command, address)
                    << command << QString::fromUtf8(address) << "AB" << badAddress;
            QTest::addRow("Command%d, one byte past the longest frame", command)
                << command << "1" << QString(32764, u'A') << tooLong;
        }
    }
    void refusedSendKeepsTheCaption() {
        QFETCH(int, command);
        QFETCH(QString, address);
        QFETCH(QString, text);
        QFETCH(QString, message);
        WindowOnPty w;
        QVERIFY(w.ready());
        // A send that went out first, so the caption to keep is a summary.
        w.form.Combo2->setEditText(QStringLiteral("1"));
        box(w.form, command)->setPlainText(QStringLiteral("AB"));
        click(commandButton(w.form, command));
        QCOMPARE(w.form.sentBeforeMarker(w.pty), knownFrame(command));
        const QString sentCaption = commandButton(w.form, command)->text();
        QCOMPARE(sentCaption, caption(command, "1", 2));

        w.form.Combo2->setEditText(address);
        box(w.form, command)->setPlainText(text);
        const QStringList lists = listTexts(w.form);
        click(commandButton(w.form, command));

        QCOMPARE(w.form.sentBeforeMarker(w.pty), QByteArray());
        QCOMPARE(commandButton(w.form, command)->text(), sentCaption);
        QCOMPARE(w.form.shown(), QStringList{errorMessage(message)});
        QVERIFY(!w.form.Timer1.isActive());
        QCOMPARE(box(w.form, command)->toPlainText(), text);
        QCOMPARE(listTexts(w.form), lists);
    }
};

STRAVIK_SUITE("displaytext", DisplayTextTest);
#include "test_displaytext.moc"
