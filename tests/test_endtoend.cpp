#include "tests/suites.h"
#include "tests/support/cardprocess.h"
#include "tests/support/eventloop.h"
#include "tests/support/golden.h"
#include "tests/support/recordingform.h"
#include "texts/messages.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

QByteArray hex(const char *digits) {
    return QByteArray::fromHex(digits);
}

// Moves a list to any entry other than `text`, so that a read-back has to change it.
void chooseOtherThan(QComboBox *list, const QString &text) {
    list->setCurrentIndex(list->itemText(0) == text ? 1 : 0);
}

// The lists a read-back sets, Combo2 to Combo7.
QStringList readBackLists(const Form1 &tool) {
    return listTexts(tool).mid(1, 6);
}

// The test's own end of the card's line: it writes frames as the tool would and reads the
// card's answers.
class LineEnd {
  public:
    explicit LineEnd(const QString &slave)
        : fd_(::open(QFile::encodeName(slave).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~LineEnd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool isOpen() const { return fd_ >= 0; }
    bool write(const QByteArray &bytes) {
        return ::write(fd_, bytes.constData(), std::size_t(bytes.size())) == bytes.size();
    }
    // Reads until count bytes arrived or the deadline passed, running the event loop.
    QByteArray read(qsizetype count, std::chrono::milliseconds deadline = 5s) {
        QByteArray got;
        waitFor(
            [&] {
                pollfd p{fd_, POLLIN, 0};
                char buf[256];
                while (got.size() < count && ::poll(&p, 1, 1) > 0) {
                    const ssize_t n = ::read(fd_, buf, std::size_t(count - got.size()));
                    if (n <= 0)
                        break;
                    got.append(buf, n);
                }
                return got.size() >= count;
            },
            deadline);
        return got;
    }

  private:
    int fd_;
};

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        if (!QFileInfo(cardProgram()).isExecutable())
            QSKIP(qPrintable(QStringLiteral("the virtual card is not built (%1 is missing); "
                                            "build the target virtual-card")
                                 .arg(cardProgram())));
    }

    // The tool changes the settings of the card at address 1, finds it no longer at 1, and
    // reads the new settings back from its new address.
    void settingsTravelAndReadBack_data() {
        QTest::addColumn<QStringList>("chosen"); // new address, rows, chars, data, OE, scan: also
        // what the read-back from the new address shows in Combo2 to Combo7
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("cardState");
        // The card answers with its polarity flags as the settings wrote them, and the tool
        // reads them bit by bit, so every combination of the two comes back as it was chosen
        // (once both lists followed "flags non-zero", and a single forward polarity came back
        // as two).
        const QString F = msg::kForward, R = msg::kReverse;
        const QString Half = msg::kHalfScreen, Full = msg::kFullScreen;
        const auto row = [](const char *name, QStringList chosen, QString frame, QString state) {
            QTest::newRow(name) << chosen << frame << state;
        };
        row("address 5, 2 rows of 12, both forward, full screen", {"5", "2", "12", F, F, Full},
            "81 C0 41 00 05 00 02 00 0C 11 00 01 1A", "card 5: rows 2 chars 12 flags 0x11 scan 1");
        row("address 200 (two bytes), 8 rows of 16, OE forward only",
            {"200", "8", "16", R, F, Half}, "81 C0 41 0C 08 00 08 10 10 00 00 1A",
            "card 200: rows 8 chars 16 flags 0x10 scan 0");
        row("address 26 (the terminator's value), 15 per row (a pair)",
            {"26", "4", "15", F, R, Full}, "81 C0 41 1A 00 04 00 0F 00 01 00 01 1A",
            "card 26: rows 4 chars 15 flags 0x01 scan 1");
        row("address 128, both reverse, half screen", {"128", "3", "4", R, R, Half},
            "81 C0 41 08 00 00 03 00 04 00 00 00 00 1A",
            "card 128: rows 3 chars 4 flags 0x00 scan 0");
    }
    void settingsTravelAndReadBack() {
        QFETCH(QStringList, chosen);
        QFETCH(QString, frame);
        QFETCH(QString, cardState);
        CardProcess card;
        QVERIFY2(card.started(), "the virtual card named no pseudo-terminal");
        RecordingForm tool(card.slavePath());
        QVERIFY(tool.load());

        chooseOrType(tool.Combo2, QStringLiteral("1"));
        chooseOrType(tool.Combo8, chosen[0]);
        chooseOrType(tool.Combo3, chosen[1]);
        chooseOrType(tool.Combo4, chosen[2]);
        chooseOrType(tool.Combo5, chosen[3]);
        chooseOrType(tool.Combo6, chosen[4]);
        chooseOrType(tool.Combo7, chosen[5]);
        click(tool.Command1);
        QVERIFY(!card.waitForLineStarting(frame + QStringLiteral("  modify settings of card 1: "))
                     .isEmpty());
        const QString state = card.waitForLineStarting(QStringLiteral("card %1:").arg(chosen[0]));
        QVERIFY2(state.startsWith(cardState), qPrintable(state));

        // Address 1 is gone: nobody answers there and the lists stay as they are.
        qsizetype from = card.lineCount();
        click(tool.Command2);
        QVERIFY(card.waitForLine(
            QStringLiteral("81 C0 58 1A  restart card 1: no card at this address"), from));
        QVERIFY(waitFor([&] { return !tool.Timer1.isActive(); }));
        QCOMPARE(card.count(QStringLiteral("card "), from), 0);
        QCOMPARE(tool.Combo3->currentText(), chosen[1]);

        // At the new address the card answers, and the lists show what it holds.
        for (auto [list, text] : {std::pair{tool.Combo3, chosen[1]},
                                  {tool.Combo4, chosen[2]},
                                  {tool.Combo5, chosen[3]},
                                  {tool.Combo6, chosen[4]},
                                  {tool.Combo7, chosen[5]}})
            chooseOtherThan(list, text);
        chooseOrType(tool.Combo2, chosen[0]);
        from = card.lineCount();
        click(tool.Command2);
        QVERIFY(!card.waitForLineStarting(QStringLiteral("card %1 answers: ").arg(chosen[0]), from)
                     .isEmpty());
        QVERIFY(waitFor([&] { return !tool.Timer1.isActive(); }));
        QCOMPARE(readBackLists(tool), chosen);
        QCOMPARE(tool.shown(), QStringList());

        // Settings sent straight after the read-back leave the card as it was.
        chooseOrType(tool.Combo8, chosen[0]);
        from = card.lineCount();
        click(tool.Command1);
        const QString again =
            card.waitForLineStarting(QStringLiteral("card %1:").arg(chosen[0]), from);
        QVERIFY2(again.startsWith(cardState), qPrintable(again));
    }

    // Both texts travel in code page 936, Chinese characters as nibble pairs, and the card
    // decodes them back.
    void textsReachTheCard_data() {
        QTest::addColumn<QString>("initial");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("initialQuoted");
        QTest::addColumn<QString>("displayQuoted");
        const auto row = [](const char *name, QString initial, QString display,
                            QString initialQuoted, QString displayQuoted) {
            QTest::newRow(name) << initial << display << initialQuoted << displayQuoted;
        };
        row("the welcome and the test words", "欢迎光临", "测试通信协议！", "\"欢迎光临\"",
            "\"测试通信协议！\"");
        row("ASCII, and ASCII mixed with Chinese", "AB", "A欢 B-9", "\"AB\"", "\"A欢 B-9\"");
        row("line breaks go as CR LF", "第一行\n第二行", "欢\n\n迎\nA", "\"第一行\\r\\n第二行\"",
            "\"欢\\r\\n\\r\\n迎\\r\\nA\"");
        row("empty texts", "", "", "\"\"", "\"\"");
    }
    void textsReachTheCard() {
        QFETCH(QString, initial);
        QFETCH(QString, display);
        QFETCH(QString, initialQuoted);
        QFETCH(QString, displayQuoted);
        CardProcess card;
        QVERIFY(card.started());
        RecordingForm tool(card.slavePath());
        QVERIFY(tool.load());
        chooseOrType(tool.Combo2, QStringLiteral("1"));
        tool.RichTextBox1->setPlainText(initial);
        tool.RichTextBox2->setPlainText(display);

        click(tool.Command6);
        QVERIFY(!card.waitForLineContaining(
                         QStringLiteral("  initial text for card 1: %1 (").arg(initialQuoted))
                     .isEmpty());
        // The card's state follows the frame's line; both belong to the first send.
        QVERIFY(!card.waitForLineStarting(
                         QStringLiteral("card 1: rows 1 chars 4 flags 0x00 scan 0 initial %1 ")
                             .arg(initialQuoted))
                     .isEmpty());
        const qsizetype from = card.lineCount();
        click(tool.Command7);
        QVERIFY(!card.waitForLineContaining(
                         QStringLiteral("  display text for card 1: %1 (").arg(displayQuoted), from)
                     .isEmpty());
        const QString state = card.waitForLineStarting(
            QStringLiteral("card 1: rows 1 chars 4 flags 0x00 scan 0 initial %1 text %2")
                .arg(initialQuoted, displayQuoted),
            from);
        QVERIFY2(state.endsWith(QStringLiteral(" shows text")),
                 qPrintable(card.linesFrom(0).join(QLatin1Char('\n'))));
    }

    // Address 0 reaches all three cards; on a restart only the first answers, so the reply
    // arrives once and whole.
    void broadcastReachesEveryCard() {
        CardProcess card(QStringLiteral("1,5,200"));
        QVERIFY(card.started());
        RecordingForm tool(card.slavePath());
        QVERIFY(tool.load());

        chooseOrType(tool.Combo2, QStringLiteral("0"));
        chooseOrType(tool.Combo8, QStringLiteral("7"));
        chooseOrType(tool.Combo3, QStringLiteral("3"));
        chooseOrType(tool.Combo4, QStringLiteral("10"));
        chooseOrType(tool.Combo5, QStringLiteral("正向"));
        chooseOrType(tool.Combo6, QStringLiteral("反向"));
        chooseOrType(tool.Combo7, QStringLiteral("全屏"));
        qsizetype from = card.lineCount();
        click(tool.Command1);
        QCOMPARE(tool.shown(), // the confirmation, answered OK
                 QStringList{
                     describeMessage(msg::kBroadcastTitle, kMsgOkCancel, msg::kBroadcastQuestion)});
        const QString state = QStringLiteral("card 7: rows 3 chars 10 flags 0x01 scan 1");
        QVERIFY(waitFor([&] { return card.count(state, from) == 3; }));

        tool.RichTextBox2->setPlainText(QStringLiteral("全部"));
        from = card.lineCount();
        click(tool.Command7);
        QVERIFY(waitFor([&] {
            return card.count(state + QStringLiteral(" initial \"\" text \"全部\""), from) == 3;
        }));

        chooseOtherThan(tool.Combo3, QStringLiteral("3"));
        chooseOtherThan(tool.Combo7, QStringLiteral("全屏"));
        from = card.lineCount();
        click(tool.Command2);
        QVERIFY(
            card.waitForLine(QStringLiteral("80 C0 58 1A  restart all cards (broadcast)"), from));
        QVERIFY(waitFor([&] { return !tool.Timer1.isActive(); }));
        QCOMPARE(card.count(QStringLiteral("card 7 answers: "), from), 1);
        // Data forward, OE reverse, as sent: the flags 0x01 read bit by bit.
        QCOMPARE(readBackLists(tool), QStringList({"7", "3", "10", "正向", "反向", "全屏"}));
    }

    // Every frame the tool can send, byte for byte, and what the card makes of it.
    void cardReadsEveryKindOfFrame_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QStringList>("output"); // the lines it prints, in order; %1 the frame
        const auto row = [](const char *name, const QByteArray &frame, QStringList out) {
            for (QString &line : out)
                line.replace(QStringLiteral("%1"), cardHex(frame));
            QTest::newRow(name) << frame << out;
        };
        const auto tool = [&](const char *name, QStringList out) { row(name, golden(name), out); };
        tool("3 to 5, data forward, full screen",
             {"%1  modify settings of card 3: address 5 rows 2 chars 16 flags 0x01 scan 1",
              "card 5: rows 2 chars 16 flags 0x01 scan 1 initial \"\" text \"\" shows initial"});
        tool("broadcast to 1, both reverse, half screen, every value split",
             {"%1  modify settings of all cards (broadcast): address 1 rows 1 chars 4 flags 0x00 "
              "scan 0"});
        tool("200 to 200, OE forward, half screen",
             {"%1  modify settings of card 200: address 200 rows 8 chars 12 flags 0x10 scan 0",
              "card 200: rows 8 chars 12 flags 0x10 scan 0 initial \"\" text \"\" shows initial"});
        tool("64 to 100, both forward, full screen, the shortest frame",
             {"%1  modify settings of card 64: address 100 rows 8 chars 16 flags 0x11 scan 1"});
        tool("255 to 255, 15 characters split, data forward",
             {"%1  modify settings of card 255: address 255 rows 8 chars 15 flags 0x01 scan 0"});
        tool("new address 26, the terminator's value",
             {"%1  modify settings of card 1: address 26 rows 4 chars 16 flags 0x11 scan 1",
              "card 26: rows 4 chars 16 flags 0x11 scan 1 initial \"\" text \"\" shows initial"});
        tool("restart 5",
             {"%1  restart card 5",
              "card 5: rows 1 chars 4 flags 0x00 scan 0 initial \"\" text \"\" shows initial",
              "card 5 answers: 00 05 00 01 00 04 00 00 00 00"});
        tool("restart 63, last of the low part", {"%1  restart card 63: no card at this address"});
        tool("restart 255", {"%1  restart card 255"});
        row("restart broadcast, the first card answers", golden("restart broadcast 0"),
            {"%1  restart all cards (broadcast)", "card 1 answers: 00 01 00 01 00 04 00 00 00 00"});
        tool("AB", {"%1  initial text for card 1: \"AB\" (2 bytes)"});
        tool("welcome text", {"%1  initial text for card 1: \"欢迎光临\" (8 bytes)"});
        tool("A and a Chinese character", {"%1  initial text for card 1: \"A欢\" (3 bytes)"});
        // Frames the tool never sends, as another program might.
        row("a character whose second byte is ASCII, padded with 00", hex("81c053080140001a"),
            {"%1  initial text for card 1: \"丂\\x00\" (3 bytes)"});
        row("nibbles that read as CR LF LF TAB: a character, the tool sends no lone LF",
            hex("81c0530d0a0a091a"), {"%1  initial text for card 1: \"讴\" (2 bytes)"});
        row("nibbles that read as two line breaks: the line breaks", hex("81c0530d0a0d0a1a"),
            {"%1  initial text for card 1: \"\\r\\n\\r\\n\" (4 bytes)"});
        tool("display AB to 200",
             {"%1  display text for card 200: \"AB\" (2 bytes)",
              "card 200: rows 1 chars 4 flags 0x00 scan 0 initial \"\" text \"AB\" shows text"});
        tool("test words with CR LF",
             {"%1  display text for card 1: \"测试通信协议！\\r\\n\" (16 bytes)"});
    }
    void cardReadsEveryKindOfFrame() {
        QFETCH(QByteArray, frame);
        QFETCH(QStringList, output);
        CardProcess card(QStringLiteral("1,3,5,64,200,255"));
        QVERIFY(card.started());
        LineEnd line(card.slavePath());
        QVERIFY(line.isOpen());
        QVERIFY(line.write(frame));
        qsizetype at = 1;
        for (const QString &expected : output) {
            QVERIFY2(card.waitForLine(expected, at),
                     qPrintable(card.linesFrom(1).join(QLatin1Char('\n'))));
            at = card.linesFrom(0).indexOf(expected, at) + 1;
        }
    }

    // Bytes that make no frame cost the card nothing: the frame after them is taken, and only
    // it is answered.
    void garbageDoesNotCostTheNextFrame_data() {
        QTest::addColumn<QByteArray>("garbage");
        QTest::addColumn<QStringList>("ignored");
        QTest::newRow("noise") << QByteArray::fromHex("7f00411a")
                               << QStringList{"7F 00 41 1A  noise between frames, ignored"};
        QTest::newRow("address byte 1 alone")
            << QByteArray::fromHex("c0c1") << QStringList{"C0 C1  noise between frames, ignored"};
        QTest::newRow("a settings frame cut short")
            << QByteArray::fromHex("81c0410005")
            << QStringList{"81 C0 41 00 05  broken frame, ignored: a new frame began before the "
                           "terminator"};
        QTest::newRow("address byte 1 missing")
            << QByteArray::fromHex("81581a")
            << QStringList{"81 58  broken frame, ignored: address byte 1 missing",
                           "1A  noise between frames, ignored"};
        QTest::newRow("a restart that goes on")
            << QByteArray::fromHex("81c058001a")
            << QStringList{"81 C0 58 00  broken frame, ignored: restart frame goes on after the "
                           "letter",
                           "1A  noise between frames, ignored"};
        QTest::newRow("a value pair with a second byte of 16")
            << QByteArray::fromHex("81c0410010")
            << QStringList{"81 C0 41 00 10  broken frame, ignored: second byte of a value pair is "
                           "not a nibble"};
        QTest::newRow("an unknown letter")
            << QByteArray::fromHex("81c05a01021a")
            << QStringList{"81 C0 5A 01 02 1A  unknown command letter 0x5A for card 1, ignored"};
        QTest::newRow("a restart for another address")
            << QByteArray::fromHex("82c0581a")
            << QStringList{"82 C0 58 1A  restart card 2: no card at this address"};
    }
    void garbageDoesNotCostTheNextFrame() {
        QFETCH(QByteArray, garbage);
        QFETCH(QStringList, ignored);
        CardProcess card;
        QVERIFY(card.started());
        LineEnd line(card.slavePath());
        QVERIFY(line.isOpen());
        // Readdress card 1 to 9 behind the garbage, then restart it: its answer differs from
        // anything card 1 could have sent for the garbage.
        QVERIFY(line.write(garbage + QByteArray::fromHex("81c04100090002101100011a") +
                           QByteArray::fromHex("89c0581a")));
        QCOMPARE(line.read(8), QByteArray::fromHex("0009000210110001"));
        QVERIFY(card.waitForLine(QStringLiteral("89 C0 58 1A  restart card 9")));
        QStringList printed = card.linesFrom(1);
        QCOMPARE(printed.mid(0, ignored.size()), ignored);
        QCOMPARE(printed.value(int(ignored.size())),
                 QStringLiteral("81 C0 41 00 09 00 02 10 11 00 01 1A  modify settings of card 1: "
                                "address 9 rows 2 chars 16 flags 0x11 scan 1"));
    }

    // The card answers a restart well within the 500 ms after which the tool reads.
    void restartIsAnsweredWithin100ms() {
        CardProcess card;
        QVERIFY(card.started());
        LineEnd line(card.slavePath());
        QVERIFY(line.isOpen());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(line.write(QByteArray::fromHex("81c0581a")));
        QCOMPARE(line.read(10), QByteArray::fromHex("00010001000400000000"));
        QVERIFY2(clock.elapsed() < 100, qPrintable(QStringLiteral("%1 ms").arg(clock.elapsed())));
    }
};

STRAVIK_SUITE("endtoend", EndToEndTest);

#include "test_endtoend.moc"
