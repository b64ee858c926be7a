#include "tests/formfixture.h"
#include "tests/pty.h"
#include "tests/suites.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <optional>
#include <utility>

using namespace std::chrono_literals;

namespace {

const QString kErrorTitle = QStringLiteral("错误提示");
const QString kPortNotOpen = QStringLiteral("串口未打开，命令未发送！请先选择可用的串口！");
constexpr int kCritical = 16;

QString notAByte(const QString &label) {
    return FormOnPty::describeMessage(kErrorTitle, kCritical,
                                      label + QStringLiteral("必须是0到255之间的整数！"));
}

QString broadcastQuestion() {
    return FormOnPty::describeMessage(QStringLiteral("控制卡地址修改"), 1,
                                      QStringLiteral("确定将所有控制卡修改成相同地址吗？"));
}

// Picks the item that shows text, as the operator does from the drop-down.
bool choose(QComboBox *list, const QString &text) {
    const int index = list->findText(text, Qt::MatchExactly);
    if (index < 0)
        return false;
    list->setCurrentIndex(index);
    return list->currentText() == text;
}

// The texts of the lists a command reads or the reply reader writes, Combo2 to Combo8.
QStringList listTexts(const Form1 &form) {
    return {form.Combo2->currentText(), form.Combo3->currentText(), form.Combo4->currentText(),
            form.Combo5->currentText(), form.Combo6->currentText(), form.Combo7->currentText(),
            form.Combo8->currentText()};
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

std::optional<int> waiting(FormOnPty &form) {
    return form.MSComm1.inBufferCount();
}

// The lists before a restart whose reply is under test: an address with blanks around it and
// texts that no reply can produce, so every list the reply reader leaves alone is plain to see.
// Rows and scan mode start on items, the two lists where a reply value can be refused.
bool setReplyStage(FormOnPty &form) {
    form.Combo2->setEditText(QStringLiteral(" 7 "));
    form.Combo4->setEditText(QStringLiteral("9"));
    form.Combo5->setEditText(QStringLiteral("kept data"));
    form.Combo6->setEditText(QStringLiteral("kept oe"));
    return choose(form.Combo3, QStringLiteral("3")) && choose(form.Combo7, QStringLiteral("全屏"));
}

const QByteArray kRestartTo7 = QByteArray::fromHex("87c0581a");

QByteArray hex(const char *digits) {
    return QByteArray::fromHex(digits);
}

} // namespace

class CommandsTest : public QObject {
    Q_OBJECT
  private slots:
    void restartSendsFourBytesAndStartsTheTimer_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("chosen");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("0 broadcast, no question")
            << "0" << false << QByteArray::fromHex("80c0581a");
        QTest::newRow("5") << "5" << false << QByteArray::fromHex("85c0581a");
        QTest::newRow("63 last of the low part")
            << "63" << false << QByteArray::fromHex("bfc0581a");
        QTest::newRow("64 high part changes") << "64" << false << QByteArray::fromHex("80c1581a");
        QTest::newRow("200 chosen from the list")
            << "200" << true << QByteArray::fromHex("88c3581a");
        QTest::newRow("255 chosen from the list")
            << "255" << true << QByteArray::fromHex("bfc3581a");
        QTest::newRow("255 typed") << "255" << false << QByteArray::fromHex("bfc3581a");
        QTest::newRow("blanks around 12") << " 12 " << false << QByteArray::fromHex("8cc0581a");
    }
    void restartSendsFourBytesAndStartsTheTimer() {
        QFETCH(QString, address);
        QFETCH(bool, chosen);
        QFETCH(QByteArray, frame);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        if (chosen)
            QVERIFY(choose(form.Combo2, address));
        else
            form.Combo2->setEditText(address);
        const QStringList before = listTexts(form);
        QVERIFY(!form.Timer1.isActive());

        click(form.Command2);

        QVERIFY(form.Timer1.isActive());
        QCOMPARE(form.Timer1.interval(), 500);
        QCOMPARE(form.sentBeforeMarker(pty), frame);
        QCOMPARE(form.shown(), QStringList());
        QCOMPARE(listTexts(form), before);
    }

    // The mouse runs a command once, as the button comes up, and the button is drawn up
    // afterwards; a press released away from the button sends nothing.
    void mouseReleaseRunsTheCommandOnce() {
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        form.Combo2->setEditText(QStringLiteral("5"));

        QTest::mousePress(form.Command2, Qt::LeftButton);
        QVERIFY(form.Command2->isDown());
        QTest::mouseRelease(form.Command2, Qt::LeftButton, {}, QPoint(-20, -20));
        QVERIFY(!form.Command2->isDown());
        QVERIFY(!form.Timer1.isActive());
        QCOMPARE(form.sentBeforeMarker(pty), QByteArray());

        int clicks = 0;
        connect(form.Command2, &QPushButton::clicked, this, [&] { ++clicks; });
        click(form.Command2);
        QCOMPARE(clicks, 1);
        QVERIFY(!form.Command2->isDown());
        QVERIFY(form.Timer1.isActive());
        QCOMPARE(form.sentBeforeMarker(pty), QByteArray::fromHex("85c0581a"));

        // Space on the focused button takes the ordinary way, once as well.
        form.Command2->setFocus();
        QTest::keyClick(form.Command2, Qt::Key_Space);
        QCOMPARE(clicks, 2);
        QCOMPARE(form.sentBeforeMarker(pty), QByteArray::fromHex("85c0581a"));
    }

    void replyShowsInTheListsAtTheTick_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("rows");
        QTest::addColumn<QString>("chars");
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("oe");
        QTest::addColumn<QString>("scan");
        // What 修改设置 sends right after the read-back; empty where a list it reads is empty.
        QTest::addColumn<QByteArray>("settings");
        // Before the restart: address " 7 ", rows item "3", characters "9", scan item "全屏";
        // new address "1".
        // The card reports the polarity flags as the settings frame wrote them, bit 0 data and
        // bit 4 OE forward. Those four values are read bit by bit (once both lists followed
        // "non-zero", and 01 or 10 read back as both forward, so the next 修改设置 changed the
        // card); any other non-zero value still gives both forward.
        QTest::newRow("nine bytes, every list set") << hex("00050002000c110001") << "5"
                                                    << "2"
                                                    << "12"
                                                    << "正向"
                                                    << "正向"
                                                    << "全屏" << hex("85c04100010002000c1100011a");
        QTest::newRow("rows 32 and scan 3 refused, lists keep their items")
            << hex("0c08201000000003") << "200"
            << "3"
            << "16"
            << "反向"
            << "反向"
            << "全屏" << hex("88c3410001000310000000011a");
        QTest::newRow("three bytes, missing values read as 0")
            << hex("202122") << "32"
            << "3"
            << "34"
            << "反向"
            << "反向"
            << "半屏" << hex("a0c0410001000322000000001a");
        QTest::newRow("pair above 255 gives 0, next value after the pair")
            << hex("0f200005000800010001") << "0"
            << "5"
            << "8"
            << "正向"
            << "反向"
            << "全屏" << hex("80c041000100050008000100011a");
        QTest::newRow("twelve bytes, the last two unread; flags 17 both forward")
            << hex("00050002000c001100010f0f") << "5"
            << "2"
            << "12"
            << "正向"
            << "正向"
            << "全屏" << hex("85c04100010002000c1100011a");
        QTest::newRow("rows 0 selects nothing") << hex("100000101110") << "16"
                                                << ""
                                                << "16"
                                                << "正向"
                                                << "正向"
                                                << "半屏" << QByteArray();
        QTest::newRow("highest values, a single byte FF is itself")
            << hex("ff0008001000100000") << "255"
            << "8"
            << "16"
            << "反向"
            << "正向"
            << "半屏" << hex("bfc34100010008101000001a");
        QTest::newRow("characters per row outside the list written as text")
            << hex("2000027f00000003") << "32"
            << "2"
            << "127"
            << "反向"
            << "反向"
            << "全屏" << hex("a0c041000100027f000000011a");
        QTest::newRow("rows 9 refused") << hex("000100091000010000") << "1"
                                        << "3"
                                        << "16"
                                        << "正向"
                                        << "反向"
                                        << "半屏" << hex("81c0410001000310000100001a");
        QTest::newRow("pair cut off by the end of the reply") << hex("000500") << "5"
                                                              << ""
                                                              << "0"
                                                              << "反向"
                                                              << "反向"
                                                              << "半屏" << QByteArray();
        QTest::newRow("flags 01: data forward, OE reverse")
            << hex("00070002000c00010001") << "7"
            << "2"
            << "12"
            << "正向"
            << "反向"
            << "全屏" << hex("87c04100010002000c000100011a");
        QTest::newRow("flags 10: data reverse, OE forward")
            << hex("00070002000c100001") << "7"
            << "2"
            << "12"
            << "反向"
            << "正向"
            << "全屏" << hex("87c04100010002000c1000011a");
        QTest::newRow("flags 11: both forward") << hex("00070002000c110001") << "7"
                                                << "2"
                                                << "12"
                                                << "正向"
                                                << "正向"
                                                << "全屏" << hex("87c04100010002000c1100011a");
        QTest::newRow("flags 00: both reverse") << hex("00070002000c00000001") << "7"
                                                << "2"
                                                << "12"
                                                << "反向"
                                                << "反向"
                                                << "全屏" << hex("87c04100010002000c000000011a");
        QTest::newRow("flags 05, not a written value: both forward")
            << hex("00070002000c00050001") << "7"
            << "2"
            << "12"
            << "正向"
            << "正向"
            << "全屏" << hex("87c04100010002000c1100011a");
    }
    void replyShowsInTheListsAtTheTick() {
        QFETCH(QByteArray, reply);
        QFETCH(QString, address);
        QFETCH(QString, rows);
        QFETCH(QString, chars);
        QFETCH(QString, data);
        QFETCH(QString, oe);
        QFETCH(QString, scan);
        QFETCH(QByteArray, settings);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        QVERIFY(setReplyStage(form));
        const QString newAddress = form.Combo8->currentText();

        QElapsedTimer sinceClick;
        sinceClick.start();
        click(form.Command2);
        QCOMPARE(form.sentBeforeMarker(pty), kRestartTo7);
        QVERIFY(pty.write(reply));
        QVERIFY(waitFor([&] { return !form.Timer1.isActive(); }, 3s));
        // The reply is read half a second after the frame, not as it arrives and never
        // earlier: a card that answers late in the half second must still be heard.
        QVERIFY2(sinceClick.elapsed() >= 500, qPrintable(QString::number(sinceClick.elapsed())));

        QCOMPARE(listTexts(form), (QStringList{address, rows, chars, data, oe, scan, newAddress}));
        // A shown number is the list's item, not only its text; rows 0 clears the selection.
        for (QComboBox *list : {form.Combo2, form.Combo3, form.Combo5, form.Combo6, form.Combo7}) {
            const int item = list->findText(list->currentText(), Qt::MatchExactly);
            QCOMPARE(list->currentIndex(), item);
        }
        QCOMPARE(waiting(form), std::optional<int>(0));
        QCOMPARE(form.shown(), QStringList());

        // Settings sent straight after the read-back carry the polarity flags as they came.
        click(form.Command1);
        QCOMPARE(form.sentBeforeMarker(pty), settings);
    }

    void tooShortReplyLeavesTheLists_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("no answer") << QByteArray();
        QTest::newRow("one byte") << QByteArray::fromHex("05");
        QTest::newRow("two bytes") << QByteArray::fromHex("2021");
    }
    void tooShortReplyLeavesTheLists() {
        QFETCH(QByteArray, reply);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        QVERIFY(setReplyStage(form));
        const QStringList before = listTexts(form);

        click(form.Command2);
        QCOMPARE(form.sentBeforeMarker(pty), kRestartTo7);
        QVERIFY(pty.write(reply));
        QVERIFY(waitFor([&] { return !form.Timer1.isActive(); }, 3s));

        QCOMPARE(listTexts(form), before);
        // The bytes stay waiting, and no second tick comes for them.
        QCOMPARE(waiting(form), std::optional<int>(reply.size()));
        QVERIFY(!form.Timer1.isActive());
        QCOMPARE(form.shown(), QStringList());
    }

    void bytesBeforeTheRestartAreNotTheReply_data() {
        QTest::addColumn<QByteArray>("fresh");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("chars");
        QTest::newRow("two fresh bytes: no reply") << QByteArray::fromHex("2021") << " 7 "
                                                   << "9";
        QTest::newRow("fresh reply alone decoded") << QByteArray::fromHex("202122") << "32"
                                                   << "34";
    }
    void bytesBeforeTheRestartAreNotTheReply() {
        QFETCH(QByteArray, fresh);
        QFETCH(QString, address);
        QFETCH(QString, chars);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        QVERIFY(setReplyStage(form));
        const QByteArray stale = QByteArray::fromHex("00050002000c110001");
        QVERIFY(pty.write(stale));
        QVERIFY(waitFor([&] { return waiting(form) == std::optional<int>(stale.size()); }));

        click(form.Command2);
        QCOMPARE(form.sentBeforeMarker(pty), kRestartTo7);
        QVERIFY(pty.write(fresh));
        QVERIFY(waitFor([&] { return !form.Timer1.isActive(); }, 3s));

        QCOMPARE(form.Combo2->currentText(), address);
        QCOMPARE(form.Combo4->currentText(), chars);
        QCOMPARE(waiting(form), std::optional<int>(fresh.size() < 3 ? fresh.size() : 0));
    }

    void replyReaderOnAClosedPortLeavesTheLists() {
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        QVERIFY(setReplyStage(form));
        const QStringList before = listTexts(form);

        click(form.Command2);
        QCOMPARE(form.sentBeforeMarker(pty), kRestartTo7);
        const QByteArray reply = QByteArray::fromHex("00050002000c110001");
        QVERIFY(pty.write(reply));
        QVERIFY(waitFor([&] { return waiting(form) == std::optional<int>(reply.size()); }));
        QCOMPARE(form.MSComm1.setPortOpen(false), CommResult::Ok);
        QVERIFY(waitFor([&] { return !form.Timer1.isActive(); }, 3s));

        QCOMPARE(listTexts(form), before);
        QCOMPARE(form.shown(), QStringList());
    }

    void modifySettingsFrame_data() {
        QTest::addColumn<QString>("original");
        QTest::addColumn<QString>("newAddress");
        QTest::addColumn<QString>("rows");
        QTest::addColumn<QString>("chars");
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("oe");
        QTest::addColumn<QString>("scan");
        QTest::addColumn<bool>("typed");
        QTest::addColumn<QByteArray>("frame");
        // Chosen from the lists.
        QTest::newRow("3 to 5, data forward, full screen")
            << "3"
            << "5"
            << "2"
            << "16"
            << "正向"
            << "反向"
            << "全屏" << false << QByteArray::fromHex("83c0410005000210000100011a");
        QTest::newRow("broadcast 0 to 1 after OK, longest with the lists' values")
            << "0"
            << "1"
            << "1"
            << "4"
            << "反向"
            << "反向"
            << "半屏" << false << QByteArray::fromHex("80c041000100010004000000001a");
        QTest::newRow("200 to 200, OE forward")
            << "200"
            << "200"
            << "8"
            << "12"
            << "反向"
            << "正向"
            << "半屏" << false << QByteArray::fromHex("88c3410c080008000c1000001a");
        QTest::newRow("64 to 100, both forward, shortest")
            << "64"
            << "100"
            << "8"
            << "16"
            << "正向"
            << "正向"
            << "全屏" << false << QByteArray::fromHex("80c141640008101100011a");
        QTest::newRow("255 to 255, 15 characters split")
            << "255"
            << "255"
            << "8"
            << "15"
            << "正向"
            << "反向"
            << "半屏" << false << QByteArray::fromHex("bfc3410f0f0008000f000100001a");
        QTest::newRow("new address 26 is the byte 1A")
            << "1"
            << "26"
            << "4"
            << "16"
            << "正向"
            << "正向"
            << "全屏" << false << QByteArray::fromHex("81c0411a0004101100011a");
        QTest::newRow("new address 127 one byte")
            << "1"
            << "127"
            << "1"
            << "4"
            << "反向"
            << "反向"
            << "半屏" << false << QByteArray::fromHex("81c0417f00010004000000001a");
        QTest::newRow("new address 128 two bytes")
            << "1"
            << "128"
            << "1"
            << "4"
            << "反向"
            << "反向"
            << "半屏" << false << QByteArray::fromHex("81c041080000010004000000001a");
        // Typed into the edit fields.
        QTest::newRow("typed 正向 in both counts as forward")
            << "1"
            << "2"
            << "1"
            << "4"
            << "正向"
            << "正向"
            << "半屏" << true << QByteArray::fromHex("81c0410002000100041100001a");
        QTest::newRow("data 正向 with a trailing blank is reverse")
            << "1"
            << "2"
            << "1"
            << "4"
            << "正向 "
            << "正向"
            << "半屏" << true << QByteArray::fromHex("81c0410002000100041000001a");
        QTest::newRow("OE 正向 with a leading blank is reverse")
            << "1"
            << "2"
            << "1"
            << "4"
            << "正向"
            << " 正向"
            << "半屏" << true << QByteArray::fromHex("81c041000200010004000100001a");
        QTest::newRow("other polarity texts are reverse")
            << "1"
            << "2"
            << "1"
            << "4"
            << "forward"
            << "正"
            << "半屏" << true << QByteArray::fromHex("81c041000200010004000000001a");
        QTest::newRow("empty polarity texts are reverse")
            << "1"
            << "2"
            << "1"
            << "4"
            << ""
            << ""
            << "半屏" << true << QByteArray::fromHex("81c041000200010004000000001a");
        QTest::newRow("typed 全屏 is full screen")
            << "1"
            << "2"
            << "1"
            << "4"
            << "反向"
            << "反向"
            << "全屏" << true << QByteArray::fromHex("81c041000200010004000000011a");
        QTest::newRow("全屏 with a trailing blank is half screen")
            << "1"
            << "2"
            << "1"
            << "4"
            << "反向"
            << "反向"
            << "全屏 " << true << QByteArray::fromHex("81c041000200010004000000001a");
        QTest::newRow("other scan texts are half screen")
            << "1"
            << "2"
            << "1"
            << "4"
            << "反向"
            << "反向"
            << "full" << true << QByteArray::fromHex("81c041000200010004000000001a");
        QTest::newRow("blanks around the numbers")
            << " 12 "
            << " 12 "
            << " 12 "
            << " 12 "
            << "反向"
            << "反向"
            << "半屏" << true << QByteArray::fromHex("8cc041000c000c000c000000001a");
        QTest::newRow("numbers outside the lists but within a byte")
            << "1"
            << "0"
            << "0"
            << "255"
            << "反向"
            << "反向"
            << "半屏" << true << QByteArray::fromHex("81c041000000000f0f000000001a");
    }
    void modifySettingsFrame() {
        QFETCH(QString, original);
        QFETCH(QString, newAddress);
        QFETCH(QString, rows);
        QFETCH(QString, chars);
        QFETCH(QString, data);
        QFETCH(QString, oe);
        QFETCH(QString, scan);
        QFETCH(bool, typed);
        QFETCH(QByteArray, frame);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        const std::pair<QComboBox *, QString> settings[] = {
            {form.Combo2, original}, {form.Combo8, newAddress}, {form.Combo3, rows},
            {form.Combo4, chars},    {form.Combo5, data},       {form.Combo6, oe},
            {form.Combo7, scan}};
        for (const auto &[list, text] : settings) {
            if (typed)
                list->setEditText(text);
            else
                QVERIFY2(choose(list, text), qPrintable(text));
        }
        const QStringList before = listTexts(form);

        click(form.Command1);

        QCOMPARE(form.sentBeforeMarker(pty), frame);
        QCOMPARE(form.shown(),
                 original.trimmed() == u"0" ? QStringList{broadcastQuestion()} : QStringList());
        QVERIFY(!form.Timer1.isActive());
        QCOMPARE(listTexts(form), before);
    }

    void broadcastAsksFirst_data() {
        QTest::addColumn<QString>("original");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QByteArray>("frame");
        const QByteArray frame = QByteArray::fromHex("80c041000200010004000000001a");
        QTest::newRow("OK sends") << "0" << 1 << frame;
        QTest::newRow("Cancel sends nothing") << "0" << 2 << QByteArray();
        QTest::newRow("box closed sends nothing") << "0" << 0 << QByteArray();
        QTest::newRow("0 with blanks asks too, OK") << " 0 " << 1 << frame;
        QTest::newRow("0 with blanks asks too, Cancel") << " 0 " << 2 << QByteArray();
    }
    void broadcastAsksFirst() {
        QFETCH(QString, original);
        QFETCH(int, answer);
        QFETCH(QByteArray, frame);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        form.Combo2->setEditText(original);
        form.Combo8->setEditText(QStringLiteral("2"));
        form.answer = answer;

        click(form.Command1);

        QCOMPARE(form.sentBeforeMarker(pty), frame);
        QCOMPARE(form.shown(), QStringList{broadcastQuestion()});
        QVERIFY(!form.Timer1.isActive());
    }

    // Only the restart starts the reply timer and only its tick stops it: settings sent while
    // it runs leave it running, and the bytes they drop are no longer a reply.
    void modifySettingsLeavesTheReplyTimer() {
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        QVERIFY(setReplyStage(form));
        const QStringList before = listTexts(form);

        click(form.Command2);
        QCOMPARE(form.sentBeforeMarker(pty), kRestartTo7);
        const QByteArray reply = QByteArray::fromHex("00050002000c110001");
        QVERIFY(pty.write(reply));
        QVERIFY(waitFor([&] { return waiting(form) == std::optional<int>(reply.size()); }));

        click(form.Command1);
        QCOMPARE(form.sentBeforeMarker(pty), QByteArray::fromHex("87c041000100030009000000011a"));
        QVERIFY(form.Timer1.isActive());
        QCOMPARE(form.Timer1.interval(), 500);
        QCOMPARE(waiting(form), std::optional<int>(0));

        QVERIFY(waitFor([&] { return !form.Timer1.isActive(); }, 3s));
        QCOMPARE(listTexts(form), before);
        QCOMPARE(form.shown(), QStringList());
    }

    void refusedNumberTextSendsNothing_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("original");
        QTest::addColumn<QString>("newAddress");
        QTest::addColumn<QString>("rows");
        QTest::addColumn<QString>("chars");
        QTest::addColumn<QString>("label");
        // Original address 0 where it is not the refused list: a refusal asks no question.
        const QStringList bad{"",    "abc", "-1",  "1.5",  "&H10",
                              "256", "+5",  "1 2", "0x10", "99999999999"};
        for (const QString &text : bad) {
            const QByteArray t = text.toUtf8();
            QTest::addRow("modify, 原地址 \"%s\"", t.constData()) << 1 << text << "1"
                                                                  << "1"
                                                                  << "4"
                                                                  << "原地址";
            QTest::addRow("modify, 新地址 \"%s\"", t.constData()) << 1 << "0" << text << "1"
                                                                  << "4"
                                                                  << "新地址";
            QTest::addRow("modify, 行数 \"%s\"", t.constData()) << 1 << "0"
                                                                << "1" << text << "4"
                                                                << "行数";
            QTest::addRow("modify, 每行汉字数 \"%s\"", t.constData())
                << 1 << "0"
                << "1"
                << "1" << text << "每行汉字数";
            QTest::addRow("restart, 原地址 \"%s\"", t.constData()) << 2 << text << "1"
                                                                   << "1"
                                                                   << "4"
                                                                   << "原地址";
        }
        QTest::newRow("modify, all four refused: the first named") << 1 << "x"
                                                                   << "x"
                                                                   << "x"
                                                                   << "x"
                                                                   << "原地址";
        QTest::newRow("modify, new address and characters refused") << 1 << "5"
                                                                    << "300"
                                                                    << "2"
                                                                    << "-4"
                                                                    << "新地址";
        QTest::newRow("modify, rows and characters refused") << 1 << "5"
                                                             << "6"
                                                             << "2.0"
                                                             << "abc"
                                                             << "行数";
        QTest::newRow("restart reads only the original address") << 2 << "1e2"
                                                                 << "x"
                                                                 << "x"
                                                                 << "x"
                                                                 << "原地址";
    }
    void refusedNumberTextSendsNothing() {
        QFETCH(int, command);
        QFETCH(QString, original);
        QFETCH(QString, newAddress);
        QFETCH(QString, rows);
        QFETCH(QString, chars);
        QFETCH(QString, label);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        form.Combo2->setEditText(original);
        form.Combo8->setEditText(newAddress);
        form.Combo3->setEditText(rows);
        form.Combo4->setEditText(chars);
        const QStringList before = listTexts(form);

        if (command == 1)
            form.Command1_Click();
        else
            form.Command2_Click();

        QCOMPARE(form.sentBeforeMarker(pty), QByteArray());
        QVERIFY(!form.Timer1.isActive());
        QCOMPARE(form.shown(), QStringList{notAByte(label)});
        QCOMPARE(listTexts(form), before);
    }

    void closedPortSendsNothing_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<bool>("switchFailed");
        QTest::addColumn<QByteArray>("frame");
        const std::pair<int, QByteArray> commands[] = {
            {1, QByteArray::fromHex("81c041000200010004000000001a")},
            {2, QByteArray::fromHex("81c0581a")},
            {6, QByteArray::fromHex("81c05341421a")},
            {7, QByteArray::fromHex("81c04441421a")}};
        for (const auto &[command, frame] : commands) {
            QTest::addRow("Command%d, port closed", command) << command << false << frame;
            QTest::addRow("Command%d, switch to COM2 failed", command) << command << true << frame;
        }
    }
    void closedPortSendsNothing() {
        QFETCH(int, command);
        QFETCH(bool, switchFailed);
        QFETCH(QByteArray, frame);
        PtyPair pty;
        QVERIFY(pty.isValid());
        FormOnPty form(pty);
        QVERIFY(form.load());
        form.Combo2->setEditText(QStringLiteral("1"));
        form.Combo8->setEditText(QStringLiteral("2"));
        form.RichTextBox1->setPlainText(QStringLiteral("AB"));
        form.RichTextBox2->setPlainText(QStringLiteral("AB"));
        if (switchFailed) {
            QVERIFY(choose(form.Combo1, QStringLiteral("COM2")));
            form.Combo1_Click();
            QCOMPARE(form.shown(), QStringList{FormOnPty::describeMessage(
                                       kErrorTitle, kCritical,
                                       QStringLiteral("串口被占用或此串口不存在！请更改串口！"))});
            form.messages.clear();
        } else {
            QCOMPARE(form.MSComm1.setPortOpen(false), CommResult::Ok);
        }
        QVERIFY(!form.MSComm1.portOpen());
        const QString caption6 = form.Command6->text();
        const QString caption7 = form.Command7->text();
        const QStringList before = listTexts(form);

        click(commandButton(form, command));

        QCOMPARE(form.sentBeforeMarker(pty), QByteArray());
        QVERIFY(!form.Timer1.isActive());
        QCOMPARE(form.shown(),
                 QStringList{FormOnPty::describeMessage(kErrorTitle, kCritical, kPortNotOpen)});
        QCOMPARE(form.Command6->text(), caption6);
        QCOMPARE(form.Command7->text(), caption7);
        QCOMPARE(listTexts(form), before);

        // The tool is still there: choosing COM1 again opens it and the same click sends.
        QVERIFY(form.isVisible());
        form.messages.clear();
        QVERIFY(choose(form.Combo1, QStringLiteral("COM1")));
        form.Combo1_Click();
        QVERIFY(form.MSComm1.portOpen());
        click(commandButton(form, command));
        QCOMPARE(form.sentBeforeMarker(pty), frame);
        QCOMPARE(form.shown(), QStringList());
    }
};

STRAVIK_SUITE("commands", CommandsTest);
#include "test_commands.moc"
