#include "card/cardcommands.h"
#include "tests/suites.h"
#include "tests/support/fixtures.h"
#include "tests/support/golden.h"

#include <QElapsedTimer>
#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(SettingsValues)
Q_DECLARE_METATYPE(ReplyValues)

namespace {

enum Command { Settings, Restart, InitialText, CurrentText };

// A machine with no conversion to code page 936 at all.
class NoConversion : public CodePage936 {
  public:
    bool isValid() const override { return false; }
    QByteArray encode(const QString &text) const override { return QByteArray(text.size(), '?'); }
};

CommandOutcome run(CardCommands &card, Command command, int address, const SettingsValues &values,
                   const QString &text, const CodePage936 &codePage = codePage936()) {
    switch (command) {
    case Settings:
        return card.modifySettings(address, values);
    case Restart:
        return card.restart(address);
    case InitialText:
        return card.sendText(address, DisplayText::Initial, text, codePage);
    case CurrentText:
        break;
    }
    return card.sendText(address, DisplayText::Current, text, codePage);
}

// Everything the line carried up to a marker the serial control writes behind it: the marker
// proves that nothing else is on its way, so an empty result means nothing was sent.
QByteArray carried(CardOnPty &line) {
    if (line.port.setOutput(endMarker()) != CommResult::Ok)
        return "<marker not written>";
    const QByteArray got = line.pty.readUntil(endMarker(), 10s);
    return got.endsWith(endMarker()) ? got.chopped(endMarker().size()) : "<no marker> " + got;
}

// What the next tick of the reply timer reports; nothing when no tick came by the deadline.
std::optional<std::optional<CardReply>> nextTick(CardCommands &card) {
    std::optional<std::optional<CardReply>> tick;
    const auto connection = QObject::connect(&card, &CardCommands::replyRead,
                                             [&](const std::optional<CardReply> &r) { tick = r; });
    waitFor([&] { return tick.has_value(); }, 3s);
    QObject::disconnect(connection);
    return tick;
}

const QByteArray kCardReply = QByteArray::fromHex("00050002000c110001");

} // namespace

class CardTest : public QObject {
    Q_OBJECT
  private slots:
    // Each command writes its whole frame, once, and only the restart starts the reply timer.
    void commandsWriteTheirFrame_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("address");
        QTest::addColumn<SettingsValues>("values");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("textBytes");
        for (const GoldenRestart &g : goldenRestarts())
            QTest::newRow(g.name) << int(Restart) << g.address << SettingsValues{} << QString()
                                  << g.frame << 0;
        for (const GoldenSettings &g : goldenSettings())
            QTest::newRow(g.name) << int(Settings) << g.address << g.values << QString() << g.frame
                                  << 0;
        for (const GoldenText &g : goldenTexts())
            QTest::newRow(g.name) << int(g.letter == kLetterInitialText ? InitialText : CurrentText)
                                  << g.address << SettingsValues{} << g.text << g.frame
                                  << g.textBytes;
        QTest::newRow("longest frame, 32767 bytes")
            << int(CurrentText) << 1 << SettingsValues{} << QString(32763, u'A')
            << QByteArray::fromHex("81c044") + QByteArray(32763, 'A') + QByteArray::fromHex("1a")
            << 32763;
    }
    void commandsWriteTheirFrame() {
        QFETCH(int, command);
        QFETCH(int, address);
        QFETCH(SettingsValues, values);
        QFETCH(QString, text);
        QFETCH(QByteArray, frame);
        QFETCH(int, textBytes);
        CardOnPty line;
        QVERIFY(line.ready());

        const CommandOutcome outcome = run(line.card, Command(command), address, values, text);

        QCOMPARE(outcome.status, CommandOutcome::Sent);
        QCOMPARE(toByteArray(outcome.frame), frame);
        QCOMPARE(outcome.textBytes, textBytes);
        QCOMPARE(line.card.replyPending(), command == Restart);
        if (command == Restart)
            QCOMPARE(line.card.replyTimer().interval(), 500);
        QCOMPARE(carried(line), frame);
    }

    void refusalsSendNothing_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("address");
        QTest::addColumn<SettingsValues>("values");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("converts");
        QTest::addColumn<int>("reason");
        QTest::addColumn<int>("value");
        const SettingsValues ok{2, 1, 4, 0, 0};
        const auto row = [](const char *name, Command c, int address, SettingsValues v,
                            const QString &text, bool converts, Refusal::Reason reason,
                            CommandValue value) {
            QTest::newRow(name) << int(c) << address << v << text << converts << int(reason)
                                << int(value);
        };
        row("settings, address 256", Settings, 256, ok, {}, true, Refusal::NotAByte,
            CommandValue::OriginalAddress);
        row("settings, new address -1", Settings, 1, {-1, 1, 4, 0, 0}, {}, true, Refusal::NotAByte,
            CommandValue::NewAddress);
        row("settings, rows 300", Settings, 1, {2, 300, 4, 0, 0}, {}, true, Refusal::NotAByte,
            CommandValue::Rows);
        row("settings, characters 256", Settings, 1, {2, 1, 256, 0, 0}, {}, true, Refusal::NotAByte,
            CommandValue::CharsPerRow);
        row("restart, address -1", Restart, -1, ok, {}, true, Refusal::NotAByte,
            CommandValue::OriginalAddress);
        for (const Command c : {InitialText, CurrentText}) {
            const bool initial = c == InitialText;
            row(initial ? "initial text, address 256" : "text, address 256", c, 256, ok, "AB", true,
                Refusal::NotAByte, CommandValue::OriginalAddress);
            row(initial ? "initial text, one byte past the longest frame"
                        : "text, one byte past the longest frame",
                c, 1, ok, QString(32764, u'A'), true, Refusal::TooLong, CommandValue::Text);
            row(initial ? "initial text, no code page 936" : "text, no code page 936", c, 1, ok,
                "AB", false, Refusal::NoCodePage, CommandValue::Text);
        }
    }
    void refusalsSendNothing() {
        QFETCH(int, command);
        QFETCH(int, address);
        QFETCH(SettingsValues, values);
        QFETCH(QString, text);
        QFETCH(bool, converts);
        QFETCH(int, reason);
        QFETCH(int, value);
        CardOnPty line;
        QVERIFY(line.ready());

        const CommandOutcome outcome =
            converts ? run(line.card, Command(command), address, values, text)
                     : run(line.card, Command(command), address, values, text, NoConversion());

        QCOMPARE(outcome.status, CommandOutcome::Refused);
        QCOMPARE(int(outcome.refusal.reason), reason);
        QCOMPARE(int(outcome.refusal.value), value);
        QVERIFY(outcome.frame.empty());
        QVERIFY(!line.card.replyPending());
        QCOMPARE(carried(line), QByteArray());
    }

    void closedPortSendsNothing() {
        CardOnPty line;
        QVERIFY(line.ready());
        QCOMPARE(line.port.setPortOpen(false), CommResult::Ok);

        for (const Command command : {Settings, Restart, InitialText, CurrentText})
            QCOMPARE(run(line.card, command, 1, SettingsValues{2, 1, 4, 0, 0}, "AB").status,
                     CommandOutcome::PortClosed);
        QVERIFY(!line.card.replyPending());
        // Nothing reached the line: a marker written into the slave by its path comes alone.
        QVERIFY(line.pty.writeIntoSlave(endMarker()));
        QCOMPARE(line.pty.readUntil(endMarker()), endMarker());
    }

    // The tick reads what arrived after the frame: the first 11 bytes, pairs below 16, missing
    // values as 0; fewer than 3 bytes are no reply and stay waiting.
    void replyAtTheTick_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<ReplyValues>("values");
        const auto row = [](const char *name, const char *reply, bool answered,
                            ReplyValues values) {
            QTest::newRow(name) << QByteArray::fromHex(reply) << answered << values;
        };
        row("nine bytes", "00050002000c110001", true, {5, 2, 12, 0x11, 1});
        row("three bytes, missing values read as 0", "202122", true, {32, 33, 34, 0, 0});
        row("pair above 255 gives 0", "0f200005000800010001", true, {0, 5, 8, 1, 1});
        row("twelve bytes, the last unread", "00050002000c001100010f0f", true, {5, 2, 12, 0x11, 1});
        row("pair cut off by the end", "000500", true, {5, 0, 0, 0, 0});
        row("no answer", "", false, {});
        row("one byte", "05", false, {});
        row("two bytes", "2021", false, {});
    }
    void replyAtTheTick() {
        QFETCH(QByteArray, reply);
        QFETCH(bool, answered);
        QFETCH(ReplyValues, values);
        CardOnPty line;
        QVERIFY(line.ready());
        line.card.setReplyDelay(150ms);
        QVERIFY(line.pty.write(QByteArray::fromHex("2021"))); // before the frame: not the reply
        QVERIFY(waitFor([&] { return line.port.inBufferCount() == std::optional<int>(2); }));

        QElapsedTimer sinceFrame;
        sinceFrame.start();
        QCOMPARE(line.card.restart(7).status, CommandOutcome::Sent);
        QCOMPARE(line.pty.read(4), QByteArray::fromHex("87c0581a"));
        QVERIFY(line.pty.write(reply));
        const auto tick = nextTick(line.card);

        QVERIFY(tick.has_value());
        QVERIFY2(sinceFrame.elapsed() >= 150, qPrintable(QString::number(sinceFrame.elapsed())));
        QCOMPARE(tick->has_value(), answered);
        if (answered) {
            QCOMPARE((*tick)->bytes, reply);
            QVERIFY((*tick)->values == values);
        }
        QCOMPARE(line.port.inBufferCount(), std::optional<int>(answered ? 0 : reply.size()));
        QVERIFY(!line.card.replyPending());
    }

    // The card's own half second: a reply late in it is still heard, and nothing is read
    // earlier.
    void replyIsReadHalfASecondAfterTheFrame() {
        CardOnPty line;
        QVERIFY(line.ready());
        QElapsedTimer sinceFrame;
        sinceFrame.start();
        QCOMPARE(line.card.restart(7).status, CommandOutcome::Sent);
        QCOMPARE(line.pty.read(4), QByteArray::fromHex("87c0581a"));
        QVERIFY(waitFor([&] { return sinceFrame.elapsed() >= 400; }, 1s));
        QVERIFY2(line.card.replyPending(), qPrintable(QString::number(sinceFrame.elapsed())));
        QVERIFY(line.pty.write(kCardReply));

        const auto tick = nextTick(line.card);
        QVERIFY(tick && *tick);
        QVERIFY2(sinceFrame.elapsed() >= 500, qPrintable(QString::number(sinceFrame.elapsed())));
        QVERIFY((*tick)->values == (ReplyValues{5, 2, 12, 0x11, 1}));
    }

    // Read when whole (the command line's scan): a reply read as soon as its five values are
    // in, after any echo of the frame; one not whole, or the mode off, waits for the tick.
    void readWhenWhole_data() {
        QTest::addColumn<bool>("on");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QByteArray>("reply"); // as read, without the echo
        QTest::addColumn<bool>("early");
        const auto row = [](const char *name, bool on, const char *received, const char *reply,
                            bool early) {
            QTest::newRow(name) << on << QByteArray::fromHex(received) << QByteArray::fromHex(reply)
                                << early;
        };
        row("whole: read at once", true, "00050002000c110001", "00050002000c110001", true);
        row("three values: at the tick", true, "00050002000c", "00050002000c", false);
        row("echo and one value: at the tick", true, "87c0581a000500", "000500", false);
        row("off: whole, at the tick", false, "00050002000c110001", "00050002000c110001", false);
    }
    void readWhenWhole() {
        QFETCH(bool, on);
        QFETCH(QByteArray, received);
        QFETCH(QByteArray, reply);
        QFETCH(bool, early);
        CardOnPty line;
        QVERIFY(line.ready());
        line.card.setReadWhenWhole(on);
        QElapsedTimer sinceFrame;
        sinceFrame.start();
        QCOMPARE(line.card.restart(7).status, CommandOutcome::Sent);
        QCOMPARE(line.pty.read(4), QByteArray::fromHex("87c0581a"));
        QVERIFY(line.pty.write(received));

        const auto tick = nextTick(line.card);
        QVERIFY(tick && *tick);
        QCOMPARE((*tick)->bytes, reply);
        const qint64 ms = sinceFrame.elapsed();
        QVERIFY2(early ? ms < 400 : ms >= 500, qPrintable(QString::number(ms)));
        QVERIFY(!line.card.replyPending());
    }

    // Another command while the reply timer runs sends its frame, drops the bytes waiting and
    // leaves the timer, whose tick then finds no reply; a port closed meanwhile gives none.
    void theTickAfterOtherCommands_data() {
        QTest::addColumn<int>("command"); // -1: the port closed
        QTest::newRow("settings") << int(Settings);
        QTest::newRow("initial text") << int(InitialText);
        QTest::newRow("text") << int(CurrentText);
        QTest::newRow("port closed") << -1;
    }
    void theTickAfterOtherCommands() {
        QFETCH(int, command);
        CardOnPty line;
        QVERIFY(line.ready());
        QCOMPARE(line.card.restart(1).status, CommandOutcome::Sent);
        QCOMPARE(line.pty.read(4), QByteArray::fromHex("81c0581a"));
        QVERIFY(line.pty.write(kCardReply));
        QVERIFY(waitFor([&] { return line.port.inBufferCount() == std::optional<int>(9); }));

        if (command < 0) {
            QCOMPARE(line.port.setPortOpen(false), CommResult::Ok);
        } else {
            const CommandOutcome outcome =
                run(line.card, Command(command), 1, SettingsValues{2, 1, 4, 0, 0}, "AB");
            QCOMPARE(outcome.status, CommandOutcome::Sent);
            QCOMPARE(carried(line), toByteArray(outcome.frame));
            QVERIFY(line.card.replyPending());
            QCOMPARE(line.port.inBufferCount(), std::optional<int>(0));
        }

        const auto tick = nextTick(line.card);
        QVERIFY(tick.has_value());
        QVERIFY(!tick->has_value());
    }
};

STRAVIK_SUITE("card", CardTest);
#include "test_card.moc"
