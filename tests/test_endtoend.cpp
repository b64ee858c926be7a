#include "protocol/windowops.h"
#include "tests/cardprocess.h"
#include "tests/pty.h"
#include "tests/suites.h"
#include "window/form1.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <memory>

using namespace std::chrono_literals;

namespace {

// The tool's window with COM1 on the card's pseudo-terminal; message boxes are answered OK.
class ToolOnCard : public Form1 {
  public:
    explicit ToolOnCard(const QString &slave)
        : Form1([slave](int n) {
              return n == 1 ? slave : QStringLiteral("/nonexistent/com%1").arg(n);
          }) {}
    int msgBox(const QString &text, const QString &title, int) override {
        shown << title + QStringLiteral(": ") + text;
        return kMsgResultOk;
    }
    QStringList shown;
};

// Picks the entry with this text, as the operator does; types it where the list has none.
void choose(QComboBox *list, const QString &text) {
    const int index = list->findText(text);
    if (index >= 0) {
        list->setCurrentIndex(index);
    } else {
        list->lineEdit()->selectAll();
        QTest::keyClicks(list->lineEdit(), text);
    }
}

// Moves a list to any entry other than `text`, so that a read-back has to change it.
void chooseOtherThan(QComboBox *list, const QString &text) {
    list->setCurrentIndex(list->itemText(0) == text ? 1 : 0);
}

void click(QPushButton *button) {
    QTest::mouseClick(button, Qt::LeftButton);
}

QStringList listTexts(const ToolOnCard &tool) {
    return {tool.Combo2->currentText(), tool.Combo3->currentText(), tool.Combo4->currentText(),
            tool.Combo5->currentText(), tool.Combo6->currentText(), tool.Combo7->currentText()};
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
        QTest::addColumn<QStringList>("chosen"); // new address, rows, chars, data, OE, scan
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("cardState");
        QTest::addColumn<QStringList>("readBack"); // Combo2..Combo7 after the restart
        // The card answers with its polarity flags as the settings wrote them, and the tool
        // reads them bit by bit, so every combination of the two comes back as it was chosen
        // (once both lists followed "flags non-zero", and a single forward polarity came back
        // as two).
        QTest::newRow("address 5, 2 rows of 12, both forward, full screen")
            << QStringList{"5", "2", "12", "正向", "正向", "全屏"}
            << "81 C0 41 00 05 00 02 00 0C 11 00 01 1A"
            << "card 5: rows 2 chars 12 flags 0x11 scan 1"
            << QStringList{"5", "2", "12", "正向", "正向", "全屏"};
        QTest::newRow("address 200 (two bytes), 8 rows of 16, OE forward only")
            << QStringList{"200", "8", "16", "反向", "正向", "半屏"}
            << "81 C0 41 0C 08 00 08 10 10 00 00 1A"
            << "card 200: rows 8 chars 16 flags 0x10 scan 0"
            << QStringList{"200", "8", "16", "反向", "正向", "半屏"};
        QTest::newRow("address 26 (the terminator's value), 15 per row (a pair)")
            << QStringList{"26", "4", "15", "正向", "反向", "全屏"}
            << "81 C0 41 1A 00 04 00 0F 00 01 00 01 1A"
            << "card 26: rows 4 chars 15 flags 0x01 scan 1"
            << QStringList{"26", "4", "15", "正向", "反向", "全屏"};
        QTest::newRow("address 128, both reverse, half screen")
            << QStringList{"128", "3", "4", "反向", "反向", "半屏"}
            << "81 C0 41 08 00 00 03 00 04 00 00 00 00 1A"
            << "card 128: rows 3 chars 4 flags 0x00 scan 0"
            << QStringList{"128", "3", "4", "反向", "反向", "半屏"};
    }
    void settingsTravelAndReadBack() {
        QFETCH(QStringList, chosen);
        QFETCH(QString, frame);
        QFETCH(QString, cardState);
        QFETCH(QStringList, readBack);
        CardProcess card;
        QVERIFY2(card.started(), "the virtual card named no pseudo-terminal");
        ToolOnCard tool(card.slavePath());
        tool.Form_Load();
        tool.show();
        QVERIFY(tool.MSComm1.portOpen());

        choose(tool.Combo2, QStringLiteral("1"));
        choose(tool.Combo8, chosen[0]);
        choose(tool.Combo3, chosen[1]);
        choose(tool.Combo4, chosen[2]);
        choose(tool.Combo5, chosen[3]);
        choose(tool.Combo6, chosen[4]);
        choose(tool.Combo7, chosen[5]);
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
        for (auto [list, text] : {std::pair{tool.Combo3, readBack[1]},
                                  {tool.Combo4, readBack[2]},
                                  {tool.Combo5, readBack[3]},
                                  {tool.Combo6, readBack[4]},
                                  {tool.Combo7, readBack[5]}})
            chooseOtherThan(list, text);
        choose(tool.Combo2, chosen[0]);
        from = card.lineCount();
        click(tool.Command2);
        QVERIFY(!card.waitForLineStarting(QStringLiteral("card %1 answers: ").arg(chosen[0]), from)
                     .isEmpty());
        QVERIFY(waitFor([&] { return !tool.Timer1.isActive(); }));
        QCOMPARE(listTexts(tool), readBack);
        QVERIFY(tool.shown.isEmpty());

        // Settings sent straight after the read-back leave the card as it was.
        choose(tool.Combo8, chosen[0]);
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
        QTest::newRow("the welcome and the test words") << "欢迎光临"
                                                        << "测试通信协议！"
                                                        << "\"欢迎光临\""
                                                        << "\"测试通信协议！\"";
        QTest::newRow("ASCII, and ASCII mixed with Chinese") << "AB"
                                                             << "A欢 B-9"
                                                             << "\"AB\""
                                                             << "\"A欢 B-9\"";
        QTest::newRow("line breaks go as CR LF") << "第一行\n第二行"
                                                 << "欢\n\n迎\nA"
                                                 << "\"第一行\\r\\n第二行\""
                                                 << "\"欢\\r\\n\\r\\n迎\\r\\nA\"";
        QTest::newRow("empty texts") << ""
                                     << ""
                                     << "\"\""
                                     << "\"\"";
    }
    void textsReachTheCard() {
        QFETCH(QString, initial);
        QFETCH(QString, display);
        QFETCH(QString, initialQuoted);
        QFETCH(QString, displayQuoted);
        CardProcess card;
        QVERIFY(card.started());
        ToolOnCard tool(card.slavePath());
        tool.Form_Load();
        tool.show();
        choose(tool.Combo2, QStringLiteral("1"));
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
        ToolOnCard tool(card.slavePath());
        tool.Form_Load();
        tool.show();

        choose(tool.Combo2, QStringLiteral("0"));
        choose(tool.Combo8, QStringLiteral("7"));
        choose(tool.Combo3, QStringLiteral("3"));
        choose(tool.Combo4, QStringLiteral("10"));
        choose(tool.Combo5, QStringLiteral("正向"));
        choose(tool.Combo6, QStringLiteral("反向"));
        choose(tool.Combo7, QStringLiteral("全屏"));
        qsizetype from = card.lineCount();
        click(tool.Command1);
        QCOMPARE(tool.shown.size(), 1); // the confirmation, answered OK
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
        QCOMPARE(listTexts(tool), QStringList({"7", "3", "10", "正向", "反向", "全屏"}));
    }

    // Every frame the tool can send, byte for byte, and what the card makes of it.
    void cardReadsEveryKindOfFrame_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QStringList>("output"); // the lines it prints, in order
        const auto row = [](const char *name, const char *hex, QStringList out) {
            QTest::newRow(name) << QByteArray::fromHex(hex) << out;
        };
        row("settings 3 to 5, two rows of 16", "83c0410005000210000100011a",
            {"83 C0 41 00 05 00 02 10 00 01 00 01 1A  modify settings of card 3: address 5 rows 2 "
             "chars 16 flags 0x01 scan 1",
             "card 5: rows 2 chars 16 flags 0x01 scan 1 initial \"\" text \"\" shows initial"});
        row("settings broadcast, every value split", "80c041000100010004000000001a",
            {"80 C0 41 00 01 00 01 00 04 00 00 00 00 1A  modify settings of all cards (broadcast): "
             "address 1 rows 1 chars 4 flags 0x00 scan 0"});
        row("settings 200, OE forward", "88c3410c080008000c1000001a",
            {"88 C3 41 0C 08 00 08 00 0C 10 00 00 1A  modify settings of card 200: address 200 "
             "rows 8 chars 12 flags 0x10 scan 0",
             "card 200: rows 8 chars 12 flags 0x10 scan 0 initial \"\" text \"\" shows initial"});
        row("settings 64 to 100, the shortest frame", "80c141640008101100011a",
            {"80 C1 41 64 00 08 10 11 00 01 1A  modify settings of card 64: address 100 rows 8 "
             "chars 16 flags 0x11 scan 1"});
        row("settings 255, every value split", "bfc3410f0f0008000f000100001a",
            {"BF C3 41 0F 0F 00 08 00 0F 00 01 00 00 1A  modify settings of card 255: address 255 "
             "rows 8 chars 15 flags 0x01 scan 0"});
        row("settings with the new address 26, a payload byte 0x1A", "81c0411a0004101100011a",
            {"81 C0 41 1A 00 04 10 11 00 01 1A  modify settings of card 1: address 26 rows 4 "
             "chars 16 flags 0x11 scan 1",
             "card 26: rows 4 chars 16 flags 0x11 scan 1 initial \"\" text \"\" shows initial"});
        row("restart 5", "85c0581a",
            {"85 C0 58 1A  restart card 5",
             "card 5: rows 1 chars 4 flags 0x00 scan 0 initial \"\" text \"\" shows initial",
             "card 5 answers: 00 05 00 01 00 04 00 00 00 00"});
        row("restart 63", "bfc0581a", {"BF C0 58 1A  restart card 63: no card at this address"});
        row("restart 255", "bfc3581a", {"BF C3 58 1A  restart card 255"});
        row("restart broadcast, the first card answers", "80c0581a",
            {"80 C0 58 1A  restart all cards (broadcast)",
             "card 1 answers: 00 01 00 01 00 04 00 00 00 00"});
        row("initial text AB", "81c05341421a",
            {"81 C0 53 41 42 1A  initial text for card 1: \"AB\" (2 bytes)"});
        row("initial text 欢迎光临", "81c0530b0b0b060d030a0d0b090e020c010d091a",
            {"81 C0 53 0B 0B 0B 06 0D 03 0A 0D 0B 09 0E 02 0C 01 0D 09 1A  initial text for card "
             "1: \"欢迎光临\" (8 bytes)"});
        row("initial text A欢", "81c053410b0b0b061a",
            {"81 C0 53 41 0B 0B 0B 06 1A  initial text for card 1: \"A欢\" (3 bytes)"});
        row("a character whose second byte is ASCII, padded with 00", "81c053080140001a",
            {"81 C0 53 08 01 40 00 1A  initial text for card 1: \"丂\\x00\" (3 bytes)"});
        row("nibbles that read as CR LF LF TAB: a character, the tool sends no lone LF",
            "81c0530d0a0a091a",
            {"81 C0 53 0D 0A 0A 09 1A  initial text for card 1: \"讴\" (2 bytes)"});
        row("nibbles that read as two line breaks: the line breaks", "81c0530d0a0d0a1a",
            {"81 C0 53 0D 0A 0D 0A 1A  initial text for card 1: \"\\r\\n\\r\\n\" (4 bytes)"});
        row("display text AB to 200", "88c34441421a",
            {"88 C3 44 41 42 1A  display text for card 200: \"AB\" (2 bytes)",
             "card 200: rows 1 chars 4 flags 0x00 scan 0 initial \"\" text \"AB\" shows text"});
        row("display text with CR LF",
            "81c0440b020e020c0a0d040c0d0a080d000c050d000a0d0d020e090a03"
            "0a010d0a1a",
            {"81 C0 44 0B 02 0E 02 0C 0A 0D 04 0C 0D 0A 08 0D 00 0C 05 0D 00 0A 0D 0D 02 0E 09 0A "
             "03 0A 01 0D 0A 1A  display text for card 1: \"测试通信协议！\\r\\n\" (16 bytes)"});
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
