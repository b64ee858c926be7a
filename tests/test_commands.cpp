#include "tests/suites.h"
#include "tests/support/fixtures.h"
#include "tests/support/golden.h"
#include "texts/messages.h"

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

// The reply delay of the read-back rows, whose point is what the lists show, not when: the
// test writes the reply within a few milliseconds of the frame. The half second itself is
// held by replyIsReadHalfASecondAfterTheFrame.
constexpr std::chrono::milliseconds kQuickReply{150};

QString notAByte(const QString &label) {
    return errorMessage(msg::notAByte(label));
}

QString broadcastQuestion() {
    return describeMessage(msg::kBroadcastTitle, kMsgOkCancel, msg::kBroadcastQuestion);
}

std::optional<int> waiting(RecordingForm &form) {
    return form.MSComm1.inBufferCount();
}

// The lists before a restart whose reply is under test: an address with blanks around it and
// texts that no reply can produce, so every list the reply reader leaves alone is plain to see.
// Rows and scan mode start on items, the two lists where a reply value can be refused.
bool setReplyStage(RecordingForm &form) {
    form.Combo2->setEditText(QStringLiteral(" 7 "));
    form.Combo4->setEditText(QStringLiteral("9"));
    form.Combo5->setEditText(QStringLiteral("kept data"));
    form.Combo6->setEditText(QStringLiteral("kept oe"));
    return choose(form.Combo3, QStringLiteral("3")) && choose(form.Combo7, msg::kFullScreen);
}

const QByteArray kRestartTo7 = QByteArray::fromHex("87c0581a");

QByteArray hex(const char *digits) {
    return QByteArray::fromHex(digits);
}

} // namespace

class CommandsTest : public QObject {
    Q_OBJECT
  private slots:
    // The one line-break rule of both front ends: every kind of line break becomes the card's
    // CR LF, once, and nothing else changes.
    void lineBreaksBecomeTheCards_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("sent");
        QTest::newRow("LF") << "a\nb"
                            << "a\r\nb";
        QTest::newRow("CR LF") << "a\r\nb"
                               << "a\r\nb";
        QTest::newRow("lone CR") << "a\rb"
                                 << "a\r\nb";
        QTest::newRow("CR CR LF") << "a\r\r\nb"
                                  << "a\r\n\r\nb";
        QTest::newRow("line separator") << QStringLiteral("a\u2028b") << "a\r\nb";
        QTest::newRow("paragraph separators")
            << QStringLiteral("\u2029a\u2029\u2029") << "\r\na\r\n\r\n";
        QTest::newRow("no-break space and tab stay")
            << QStringLiteral("a\u00a0\tb") << QStringLiteral("a\u00a0\tb");
    }
    void lineBreaksBecomeTheCards() {
        QFETCH(QString, typed);
        QFETCH(QString, sent);
        QCOMPARE(WithCardLineBreaks(typed), sent);
    }

    void restartSendsFourBytesAndStartsTheTimer_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("chosen");
        QTest::addColumn<QByteArray>("frame");
        // Typed; 0 is a broadcast and asks no question.
        QTest::newRow("broadcast typed") << "0" << false << golden("restart broadcast 0");
        QTest::newRow("200 chosen from the list") << "200" << true << golden("restart 200");
        QTest::newRow("255 chosen from the list") << "255" << true << golden("restart 255");
        QTest::newRow("blanks around 12") << " 12 " << false << hex("8cc0581a");
    }
    void restartSendsFourBytesAndStartsTheTimer() {
        QFETCH(QString, address);
        QFETCH(bool, chosen);
        QFETCH(QByteArray, frame);
        WindowOnPty w;
        QVERIFY(w.ready());
        if (chosen)
            QVERIFY(choose(w.form.Combo2, address));
        else
            w.form.Combo2->setEditText(address);
        const QStringList before = listTexts(w.form);
        int ticks = 0;
        QObject::connect(&w.form.card, &CardCommands::replyRead, &w.form, [&] { ++ticks; });

        click(w.form.Command2);

        QVERIFY(w.form.Timer1.isActive());
        QCOMPARE(w.form.Timer1.interval(), 500);
        QCOMPARE(w.form.sentBeforeMarker(w.pty), frame);
        QCOMPARE(w.form.shown(), QStringList());
        QCOMPARE(listTexts(w.form), before);
        // One tick, and then the timer rests: no card answered, nothing changes.
        QVERIFY(waitFor([&] { return ticks == 1 && !w.form.Timer1.isActive(); }, 3s));
        QCOMPARE(listTexts(w.form), before);
    }

    // The mouse runs a command once, as the button comes up, and the button is drawn up
    // afterwards; a press released away from the button sends nothing.
    void mouseReleaseRunsTheCommandOnce() {
        WindowOnPty w;
        QVERIFY(w.ready());
        w.form.Combo2->setEditText(QStringLiteral("5"));

        QTest::mousePress(w.form.Command2, Qt::LeftButton);
        QVERIFY(w.form.Command2->isDown());
        QTest::mouseRelease(w.form.Command2, Qt::LeftButton, {}, QPoint(-20, -20));
        QVERIFY(!w.form.Command2->isDown());
        QVERIFY(!w.form.Timer1.isActive());
        QCOMPARE(w.form.sentBeforeMarker(w.pty), QByteArray());

        int clicks = 0;
        connect(w.form.Command2, &QPushButton::clicked, this, [&] { ++clicks; });
        click(w.form.Command2);
        QCOMPARE(clicks, 1);
        QVERIFY(!w.form.Command2->isDown());
        QVERIFY(w.form.Timer1.isActive());
        QCOMPARE(w.form.sentBeforeMarker(w.pty), QByteArray::fromHex("85c0581a"));

        // Space on the focused button takes the ordinary way, once as well.
        w.form.Command2->setFocus();
        QTest::keyClick(w.form.Command2, Qt::Key_Space);
        QCOMPARE(clicks, 2);
        QCOMPARE(w.form.sentBeforeMarker(w.pty), QByteArray::fromHex("85c0581a"));
    }

    void replyShowsInTheListsAtTheTick_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("lists"); // Combo2 to Combo7 after the tick
        // What 修改设置 sends right after the read-back; empty where a list it reads is empty.
        QTest::addColumn<QByteArray>("settings");
        const QString F = msg::kForward, R = msg::kReverse;
        const QString Half = msg::kHalfScreen, Full = msg::kFullScreen;
        const auto row = [](const char *name, const char *reply, QStringList lists,
                            const char *settings) {
            QTest::newRow(name) << hex(reply) << lists << hex(settings);
        };
        // Before the restart: address " 7 ", rows item "3", characters "9", scan item "全屏";
        // new address "1".
        // The card reports the polarity flags as the settings frame wrote them, bit 0 data and
        // bit 4 OE forward. Those four values are read bit by bit (once both lists followed
        // "non-zero", and 01 or 10 read back as both forward, so the next 修改设置 changed the
        // card); any other non-zero value still gives both forward.
        row("nine bytes, every list set", "00050002000c110001", {"5", "2", "12", F, F, Full},
            "85c04100010002000c1100011a");
        row("rows 32 and scan 3 refused, lists keep their items", "0c08201000000003",
            {"200", "3", "16", R, R, Full}, "88c3410001000310000000011a");
        row("rows 0 selects nothing", "100000101110", {"16", "", "16", F, F, Half}, "");
        row("characters per row outside the list written as text", "2000027f00000003",
            {"32", "2", "127", R, R, Full}, "a0c041000100027f000000011a");
        row("rows 9 refused", "000100091000010000", {"1", "3", "16", F, R, Half},
            "81c0410001000310000100001a");
        row("flags 01: data forward, OE reverse", "00070002000c00010001",
            {"7", "2", "12", F, R, Full}, "87c04100010002000c000100011a");
        row("flags 10: data reverse, OE forward", "00070002000c100001",
            {"7", "2", "12", R, F, Full}, "87c04100010002000c1000011a");
        row("flags 05, not a written value: both forward", "00070002000c00050001",
            {"7", "2", "12", F, F, Full}, "87c04100010002000c1100011a");
    }
    void replyShowsInTheListsAtTheTick() {
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, lists);
        QFETCH(QByteArray, settings);
        WindowOnPty w;
        QVERIFY(w.ready());
        QVERIFY(setReplyStage(w.form));
        w.form.setReplyDelay(kQuickReply);
        const QString newAddress = w.form.Combo8->currentText();

        QElapsedTimer sinceClick;
        sinceClick.start();
        click(w.form.Command2);
        QCOMPARE(w.form.sentBeforeMarker(w.pty), kRestartTo7);
        QVERIFY(w.pty.write(reply));
        QVERIFY(waitFor([&] { return !w.form.Timer1.isActive(); }, 3s));
        // Read at the tick of the delay set, not as it arrives nor after the default delay.
        QVERIFY2(sinceClick.elapsed() >= kQuickReply.count() &&
                     sinceClick.elapsed() < kReplyDelay.count(),
                 qPrintable(QString::number(sinceClick.elapsed())));

        QCOMPARE(listTexts(w.form), QStringList{"COM1"} + lists + QStringList{newAddress});
        // A shown number is the list's item, not only its text; rows 0 clears the selection.
        for (QComboBox *list :
             {w.form.Combo2, w.form.Combo3, w.form.Combo5, w.form.Combo6, w.form.Combo7}) {
            const int item = list->findText(list->currentText(), Qt::MatchExactly);
            QCOMPARE(list->currentIndex(), item);
        }
        QCOMPARE(waiting(w.form), std::optional<int>(0));
        QCOMPARE(w.form.shown(), QStringList());

        // Settings sent straight after the read-back carry the polarity flags as they came.
        click(w.form.Command1);
        QCOMPARE(w.form.sentBeforeMarker(w.pty), settings);
    }

    void tooShortReplyLeavesTheLists() {
        const QByteArray reply = QByteArray::fromHex("2021");
        WindowOnPty w;
        QVERIFY(w.ready());
        QVERIFY(setReplyStage(w.form));
        w.form.setReplyDelay(kQuickReply);
        const QStringList before = listTexts(w.form);

        click(w.form.Command2);
        QCOMPARE(w.form.sentBeforeMarker(w.pty), kRestartTo7);
        QVERIFY(w.pty.write(reply));
        QVERIFY(waitFor([&] { return !w.form.Timer1.isActive(); }, 3s));

        QCOMPARE(listTexts(w.form), before);
        // The bytes stay waiting, and no second tick comes for them.
        QCOMPARE(waiting(w.form), std::optional<int>(reply.size()));
        QVERIFY(!w.form.Timer1.isActive());
        QCOMPARE(w.form.shown(), QStringList());
    }

    void modifySettingsFrame_data() {
        // Original address, new address, rows, characters per row, data and OE polarity, scan.
        QTest::addColumn<QStringList>("lists");
        QTest::addColumn<bool>("typed");
        QTest::addColumn<QByteArray>("frame");
        const QString F = msg::kForward, R = msg::kReverse;
        const QString Half = msg::kHalfScreen, Full = msg::kFullScreen;
        // Chosen from the lists.
        for (const GoldenSettings &g : goldenSettings()) {
            const SettingsValues &v = g.values;
            QTest::newRow(g.name) << QStringList{QString::number(g.address),
                                                 QString::number(v.newAddress),
                                                 QString::number(v.rows),
                                                 QString::number(v.charsPerRow),
                                                 v.polarityFlags & 1 ? F : R,
                                                 v.polarityFlags & 16 ? F : R,
                                                 v.scanMode == 1 ? Full : Half}
                                  << false << g.frame;
        }
        // Typed into the edit fields.
        const auto typed = [](const char *name, QStringList lists, const char *frame) {
            QTest::newRow(name) << lists << true << hex(frame);
        };
        typed("typed 正向 in both counts as forward", {"1", "2", "1", "4", F, F, Half},
              "81c0410002000100041100001a");
        typed("data 正向 with a trailing blank is reverse", {"1", "2", "1", "4", F + u' ', F, Half},
              "81c0410002000100041000001a");
        typed("OE 正向 with a leading blank is reverse", {"1", "2", "1", "4", F, u' ' + F, Half},
              "81c041000200010004000100001a");
        typed("other polarity texts are reverse", {"1", "2", "1", "4", "forward", "正", Half},
              "81c041000200010004000000001a");
        typed("empty polarity texts are reverse", {"1", "2", "1", "4", "", "", Half},
              "81c041000200010004000000001a");
        typed("typed 全屏 is full screen", {"1", "2", "1", "4", R, R, Full},
              "81c041000200010004000000011a");
        typed("全屏 with a trailing blank is half screen", {"1", "2", "1", "4", R, R, Full + u' '},
              "81c041000200010004000000001a");
        typed("other scan texts are half screen", {"1", "2", "1", "4", R, R, "full"},
              "81c041000200010004000000001a");
        typed("blanks around the numbers", {" 12 ", " 12 ", " 12 ", " 12 ", R, R, Half},
              "8cc041000c000c000c000000001a");
        typed("numbers outside the lists but within a byte", {"1", "0", "0", "255", R, R, Half},
              "81c041000000000f0f000000001a");
    }
    void modifySettingsFrame() {
        QFETCH(QStringList, lists);
        QFETCH(bool, typed);
        QFETCH(QByteArray, frame);
        WindowOnPty w;
        QVERIFY(w.ready());
        QComboBox *const order[] = {w.form.Combo2, w.form.Combo8, w.form.Combo3, w.form.Combo4,
                                    w.form.Combo5, w.form.Combo6, w.form.Combo7};
        for (qsizetype i = 0; i < lists.size(); ++i) {
            if (typed)
                order[i]->setEditText(lists[i]);
            else
                QVERIFY2(choose(order[i], lists[i]), qPrintable(lists[i]));
        }
        const QStringList before = listTexts(w.form);

        click(w.form.Command1);

        QCOMPARE(w.form.sentBeforeMarker(w.pty), frame);
        QCOMPARE(w.form.shown(),
                 lists[0].trimmed() == u"0" ? QStringList{broadcastQuestion()} : QStringList());
        QVERIFY(!w.form.Timer1.isActive());
        QCOMPARE(listTexts(w.form), before);
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
        WindowOnPty w;
        QVERIFY(w.ready());
        w.form.Combo2->setEditText(original);
        w.form.Combo8->setEditText(QStringLiteral("2"));
        w.form.answer = answer;

        click(w.form.Command1);

        QCOMPARE(w.form.sentBeforeMarker(w.pty), frame);
        QCOMPARE(w.form.shown(), QStringList{broadcastQuestion()});
        QVERIFY(!w.form.Timer1.isActive());
    }

    void refusedNumberTextSendsNothing_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QStringList>("lists"); // original and new address, rows, characters
        QTest::addColumn<QString>("label");
        const auto row = [](const QByteArray &name, int command, QStringList lists,
                            const QString &label) {
            QTest::newRow(name.constData()) << command << lists << label;
        };
        // Original address 0 where it is not the refused list: a refusal asks no question.
        const QStringList bad{"",    "abc", "-1",  "1.5",  "&H10",
                              "256", "+5",  "1 2", "0x10", "99999999999"};
        for (const QString &t : bad) {
            const QByteArray quoted = '"' + t.toUtf8() + '"';
            row("modify, 原地址 " + quoted, 1, {t, "1", "1", "4"}, msg::kLabelOriginalAddress);
            row("modify, 新地址 " + quoted, 1, {"0", t, "1", "4"}, msg::kLabelNewAddress);
            row("modify, 行数 " + quoted, 1, {"0", "1", t, "4"}, msg::kLabelRows);
            row("modify, 每行汉字数 " + quoted, 1, {"0", "1", "1", t}, msg::kLabelCharsPerRow);
            row("restart, 原地址 " + quoted, 2, {t, "1", "1", "4"}, msg::kLabelOriginalAddress);
        }
        row("modify, all four refused: the first named", 1, {"x", "x", "x", "x"},
            msg::kLabelOriginalAddress);
        row("modify, new address and characters refused", 1, {"5", "300", "2", "-4"},
            msg::kLabelNewAddress);
        row("modify, rows and characters refused", 1, {"5", "6", "2.0", "abc"}, msg::kLabelRows);
        row("restart reads only the original address", 2, {"1e2", "x", "x", "x"},
            msg::kLabelOriginalAddress);
    }
    void refusedNumberTextSendsNothing() {
        QFETCH(int, command);
        QFETCH(QStringList, lists);
        QFETCH(QString, label);
        WindowOnPty w;
        QVERIFY(w.ready());
        w.form.Combo2->setEditText(lists[0]);
        w.form.Combo8->setEditText(lists[1]);
        w.form.Combo3->setEditText(lists[2]);
        w.form.Combo4->setEditText(lists[3]);
        const QStringList before = listTexts(w.form);

        if (command == 1)
            w.form.Command1_Click();
        else
            w.form.Command2_Click();

        QCOMPARE(w.form.sentBeforeMarker(w.pty), QByteArray());
        QVERIFY(!w.form.Timer1.isActive());
        QCOMPARE(w.form.shown(), QStringList{notAByte(label)});
        QCOMPARE(listTexts(w.form), before);
    }

    void closedPortSendsNothing_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<bool>("switchFailed");
        QTest::addColumn<QByteArray>("frame");
        for (const int command : {1, 2, 6, 7}) {
            QTest::addRow("Command%d, port closed", command)
                << command << false << knownFrame(command);
            QTest::addRow("Command%d, switch to COM2 failed", command)
                << command << true << knownFrame(command);
        }
    }
    void closedPortSendsNothing() {
        QFETCH(int, command);
        QFETCH(bool, switchFailed);
        QFETCH(QByteArray, frame);
        WindowOnPty w;
        QVERIFY(w.ready());
        setKnownInputs(w.form);
        if (switchFailed) {
            w.form.choosePort(2);
            QCOMPARE(w.form.shown(), QStringList{errorMessage(msg::kOpenFailed)});
            w.form.messages.clear();
        } else {
            QCOMPARE(w.form.MSComm1.setPortOpen(false), CommResult::Ok);
        }
        QVERIFY(!w.form.MSComm1.portOpen());
        const QString caption6 = w.form.Command6->text();
        const QString caption7 = w.form.Command7->text();
        const QStringList before = listTexts(w.form);

        click(commandButton(w.form, command));

        QCOMPARE(w.form.sentBeforeMarker(w.pty), QByteArray());
        QVERIFY(!w.form.Timer1.isActive());
        QCOMPARE(w.form.shown(), QStringList{errorMessage(msg::kPortNotOpen)});
        QCOMPARE(w.form.Command6->text(), caption6);
        QCOMPARE(w.form.Command7->text(), caption7);
        QCOMPARE(listTexts(w.form), before);

        // The tool is still there: choosing COM1 again opens it and the same click sends.
        QVERIFY(w.form.isVisible());
        w.form.messages.clear();
        w.form.choosePort(1);
        QVERIFY(w.form.MSComm1.portOpen());
        click(commandButton(w.form, command));
        QCOMPARE(w.form.sentBeforeMarker(w.pty), frame);
        QCOMPARE(w.form.shown(), QStringList());
    }
};

STRAVIK_SUITE("commands", CommandsTest);
#include "test_commands.moc"
