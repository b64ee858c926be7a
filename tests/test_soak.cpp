#include "tests/suites.h"
#include "tests/support/cardprocess.h"
#include "tests/support/eventloop.h"
#include "tests/support/recordingform.h"
#include "texts/messages.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>

#include <malloc.h>

#include <memory>
#include <optional>
#include <random>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Commands in one run: STRAVIK_SOAK_COMMANDS, a few hundred by default so that the run fits
// in CI; 10,000 for the long soak. STRAVIK_SOAK_SEED picks another sequence of inputs.
constexpr int kDefaultCommands = 300;
constexpr unsigned kDefaultSeed = 20240607;
// The memory is measured after this many commands (or a third of a shorter run), when the
// caches are warm, and at the end; between the two it must stay flat.
constexpr int kWarmCommands = 1000;
// Heap growth allowed per command after the warm-up: a leak of twice as much crosses it at any
// run length, the few hundred commands of CI included.
constexpr qint64 kHeapPerCommandKb = 8;
// Resident growth allowed per command after the warm-up, at most 8 MiB in all: pages come and go
// in larger pieces than the heap's blocks.
constexpr qint64 kResidentPerCommandKb = 16;
constexpr int kCommandsPerRow = 1000;
// The reply timer of the run. The virtual card answers a restart within 100 ms (the end-to-end
// suite holds it to that), and the run is about what the lists show, not when; the program's
// half second is held by the commands and end-to-end suites.
constexpr std::chrono::milliseconds kReplyDelayOfTheRun{250};

// The cards on the line, in the order the virtual card takes them; the first answers a
// broadcast restart.
const std::vector<int> kCardAddresses{1, 2, 3};

// The longest frame the card can take, in bytes.
constexpr qsizetype kLongestFrame = 32767;

QString notAByte(const QString &label) {
    return errorMessage(msg::notAByte(label));
}

qint64 residentKb(const QString &statusFile = QStringLiteral("/proc/self/status")) {
    QFile status(statusFile);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// What this process's heap holds: what malloc handed out and nobody gave back, so a leak shows
// whole, however the pages behind it are used.
qint64 heapInUseKb() {
    const struct mallinfo2 m = ::mallinfo2();
    return static_cast<qint64>((m.uordblks + m.hblkhd) / 1024);
}

// A piece of display text and its code page 936 bytes, written down here rather than asked of
// a converter, so the frames are checked against an expectation of their own.
struct Piece {
    QString text;
    QByteArray cp936;
};

const std::vector<Piece> &chinesePieces() {
    static const std::vector<Piece> all = [] {
        const std::pair<const char16_t *, const char *> table[] = {
            {u"欢", "bbb6"},
            {u"迎", "d3ad"},
            {u"光", "b9e2"},
            {u"临", "c1d9"},
            {u"测", "b2e2"},
            {u"试", "cad4"},
            {u"通", "cda8"},
            {u"信", "d0c5"},
            {u"协", "d0ad"},
            {u"议", "d2e9"},
            {u"！", "a3a1"},
            {u"第", "b5da"},
            {u"一", "d2bb"},
            {u"行", "d0d0"},
            {u"二", "b6fe"},
            {u"灯", "b5c6"},
            {u"屏", "c6c1"},
            {u"控", "bfd8"},
            {u"制", "d6c6"},
            {u"卡", "bfa8"},
            {u"显", "cfd4"},
            {u"示", "cabe"},
            // A second byte below 0x80, and the one single byte of 0x80 or more.
            {u"丂", "8140"},
            {u"€", "80"},
        };
        std::vector<Piece> out;
        for (const auto &[text, hex] : table)
            out.push_back({QString::fromUtf16(text), QByteArray::fromHex(hex)});
        return out;
    }();
    return all;
}

// Characters code page 936 lacks: each goes as one '?'.
const std::vector<Piece> &unmappablePieces() {
    static const std::vector<Piece> all{{QStringLiteral("ก"), "?"}, {QStringLiteral("😀"), "?"}};
    return all;
}

// What the card's line must carry for text bytes: bytes of 0x80 or more as two nibbles.
QByteArray carried(const QByteArray &cp936) {
    QByteArray out;
    for (const char c : cp936) {
        const auto b = static_cast<std::uint8_t>(c);
        if (b < 0x80) {
            out.append(c);
        } else {
            out.append(static_cast<char>(b >> 4));
            out.append(static_cast<char>(b & 0x0F));
        }
    }
    return out;
}

QByteArray addressBytes(int address) {
    QByteArray out;
    out.append(static_cast<char>(0x80 | (address & 0x3F)));
    out.append(static_cast<char>(0xC0 | (address >> 6)));
    return out;
}

QByteArray encodedValue(int value) {
    QByteArray out;
    if (value >= 16 && value <= 127) {
        out.append(static_cast<char>(value));
    } else {
        out.append(static_cast<char>(value >> 4));
        out.append(static_cast<char>(value & 0x0F));
    }
    return out;
}

QByteArray frameOf(int address, char letter, const QByteArray &payload) {
    return addressBytes(address) + letter + payload + '\x1a';
}

QString hexText(const QByteArray &bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

struct CardModel {
    int address = 1;
    int rows = 1;
    int chars = 4;
    int flags = 0;
    int scan = 0;
};

// A number as typed into a list, and what it stands for (nothing when it is none).
struct NumberText {
    QString text;
    std::optional<int> value;
};

enum class Kind { Settings, Restart, InitialText, DisplayText };

// What one command must do: the messages it shows, and the frame it sends (none for a
// refusal or a cancelled question).
struct Expectation {
    QString what;
    QStringList messages;
    int answer = kMsgResultOk;
    std::optional<int> address;
    QByteArray frame;
    QString caption; // the text commands' button after the send
};

class Soak {
  public:
    Soak(RecordingForm &tool, CardProcess &card, unsigned seed)
        : tool_(tool), card_(card), rng_(seed) {
        for (const int a : kCardAddresses)
            cards_.push_back(CardModel{a});
    }

    int framesChecked = 0;
    int readBacksChecked = 0;
    int refusals = 0;
    int cancelled = 0;
    int unanswered = 0;
    // The command that took longest, from its click to the last check.
    qint64 slowestMs = 0;
    QString slowest;

    // One command of a kind chosen at random; returns what went wrong, or nothing.
    QString run(int index) {
        const int roll = below(100);
        const Kind kind = roll < 30   ? Kind::Settings
                          : roll < 42 ? Kind::Restart
                          : roll < 70 ? Kind::InitialText
                                      : Kind::DisplayText;
        Expectation e;
        QPushButton *button = nullptr;
        switch (kind) {
        case Kind::Settings:
            e = prepareSettings();
            button = tool_.Command1;
            break;
        case Kind::Restart:
            e = prepareRestart();
            button = tool_.Command2;
            break;
        case Kind::InitialText:
            e = prepareText(tool_.RichTextBox1, 'S', QStringLiteral("设置地址"),
                            QStringLiteral("初始显示信息("));
            button = tool_.Command6;
            break;
        case Kind::DisplayText:
            e = prepareText(tool_.RichTextBox2, 'D', QStringLiteral("发送地址"),
                            QStringLiteral("显示信息("));
            button = tool_.Command7;
            break;
        }
        const QString captionBefore = button->text();
        const QStringList listsBefore = lists();
        tool_.messages.clear();
        tool_.answer = e.answer;
        QElapsedTimer clock;
        clock.start();
        const auto timed = qScopeGuard([&] {
            if (clock.elapsed() > slowestMs) {
                slowestMs = clock.elapsed();
                slowest = QStringLiteral("command %1 (%2)").arg(index).arg(e.what);
            }
        });
        QTest::mouseClick(button, Qt::LeftButton);

        const QString where = QStringLiteral("command %1 (%2): ").arg(index).arg(e.what);
        if (tool_.shown() != e.messages)
            return where + QStringLiteral("messages [%1], expected [%2]")
                               .arg(tool_.shown().join(u'|'), e.messages.join(u'|'));
        if (e.frame.isEmpty()) {
            e.answer == kMsgResultCancel ? ++cancelled : ++refusals;
            if (tool_.Timer1.isActive())
                return where + QStringLiteral("reply timer started without a frame");
            if (button->text() != captionBefore)
                return where + QStringLiteral("caption changed without a frame");
            return {};
        }
        if (const QString wrong = checkFrame(kind, e); !wrong.isEmpty())
            return where + wrong;
        if (kind == Kind::Restart) {
            if (const QString wrong = checkReadBack(*e.address, listsBefore); !wrong.isEmpty())
                return where + wrong;
        } else if (tool_.Timer1.isActive()) {
            return where + QStringLiteral("reply timer started");
        }
        if (!e.caption.isEmpty() && button->text() != e.caption)
            return where +
                   QStringLiteral("caption \"%1\", expected \"%2\"").arg(button->text(), e.caption);
        return {};
    }

    // A last frame behind the run: the card must print it next and nothing after it, so no
    // refused command sent anything late.
    QString finish() {
        tool_.Combo2->setEditText(QString::number(cards_.front().address));
        Expectation e;
        e.address = cards_.front().address;
        e.frame = frameOf(*e.address, 'X', {});
        tool_.messages.clear();
        const QStringList before = lists();
        QTest::mouseClick(tool_.Command2, Qt::LeftButton);
        if (const QString wrong = checkFrame(Kind::Restart, e); !wrong.isEmpty())
            return QStringLiteral("closing restart: ") + wrong;
        if (const QString wrong = checkReadBack(*e.address, before); !wrong.isEmpty())
            return QStringLiteral("closing restart: ") + wrong;
        QCoreApplication::processEvents();
        if (!card_.nothingMorePrinted())
            return QStringLiteral("the card printed more: ") + card_.next(0ms).value_or(QString());
        return {};
    }

  private:
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool chance(int percent) { return below(100) < percent; }

    // The lists a read-back sets, Combo2 to Combo7.
    QStringList lists() const { return listTexts(tool_).mid(1, 6); }

    NumberText number(int value) {
        const QString plain = QString::number(value);
        switch (below(10)) {
        case 0:
            return {QStringLiteral(" %1 ").arg(plain), value};
        case 1:
            return {QStringLiteral("00") + plain, value};
        default:
            return {plain, value};
        }
    }

    NumberText notANumber() {
        static const char *const texts[] = {"256", "300", "-1", "", "abc", "1.5", "12a", "99999"};
        return {QString::fromLatin1(texts[below(int(std::size(texts)))]), std::nullopt};
    }

    // Mostly a card's address, now and then broadcast or an address without a card.
    NumberText originalAddress() {
        const int roll = below(100);
        if (roll < 70)
            return number(cards_[std::size_t(below(int(cards_.size())))].address);
        if (roll < 78)
            return number(0);
        return number(below(256));
    }

    QString polarityText() {
        const int roll = below(10);
        return roll < 5 ? msg::kForward : roll < 9 ? msg::kReverse : QStringLiteral("x");
    }

    Expectation prepareSettings() {
        NumberText fields[4] = {originalAddress(), number(1 + below(255)), number(1 + below(8)),
                                number(4 + below(13))};
        // Now and then values outside the lists' items (the card takes any 0..255).
        if (chance(10))
            fields[1] = number(below(256));
        if (chance(10))
            fields[2] = number(below(256));
        if (chance(10))
            fields[3] = number(below(256));
        if (chance(5))
            fields[below(4)] = notANumber();
        const QString data = polarityText();
        const QString oe = polarityText();
        const int scanRoll = below(10);
        const QString scan = scanRoll < 5   ? msg::kHalfScreen
                             : scanRoll < 9 ? msg::kFullScreen
                                            : QStringLiteral("?");

        chooseOrType(tool_.Combo2, fields[0].text);
        chooseOrType(tool_.Combo8, fields[1].text);
        chooseOrType(tool_.Combo3, fields[2].text);
        chooseOrType(tool_.Combo4, fields[3].text);
        chooseOrType(tool_.Combo5, data);
        chooseOrType(tool_.Combo6, oe);
        chooseOrType(tool_.Combo7, scan);

        Expectation e;
        e.what = QStringLiteral("settings to \"%1\": new \"%2\" rows \"%3\" chars \"%4\" %5 %6 %7")
                     .arg(fields[0].text, fields[1].text, fields[2].text, fields[3].text, data, oe,
                          scan);
        // The lists are read top to bottom; the first that holds no number is named.
        const QString labels[4] = {msg::kLabelOriginalAddress, msg::kLabelNewAddress,
                                   msg::kLabelRows, msg::kLabelCharsPerRow};
        for (int i = 0; i < 4; ++i)
            if (!fields[i].value) {
                e.messages << notAByte(labels[i]);
                return e;
            }
        const int address = *fields[0].value;
        if (address == 0) {
            e.messages << describeMessage(msg::kBroadcastTitle, kMsgOkCancel,
                                          msg::kBroadcastQuestion);
            if (chance(25)) {
                e.answer = kMsgResultCancel;
                return e;
            }
        }
        CardModel values;
        values.address = *fields[1].value;
        values.rows = *fields[2].value;
        values.chars = *fields[3].value;
        values.flags = (data == msg::kForward ? 1 : 0) + (oe == msg::kForward ? 16 : 0);
        values.scan = scan == msg::kFullScreen ? 1 : 0;
        e.address = address;
        e.frame = frameOf(address, 'A',
                          encodedValue(values.address) + encodedValue(values.rows) +
                              encodedValue(values.chars) + encodedValue(values.flags) +
                              encodedValue(values.scan));
        pendingSettings_ = values;
        return e;
    }

    Expectation prepareRestart() {
        const NumberText address = chance(4) ? notANumber() : originalAddress();
        chooseOrType(tool_.Combo2, address.text);
        // Lists the read-back has to change: any state, typed or picked.
        tool_.Combo3->setCurrentIndex(below(8));
        if (chance(20))
            tool_.Combo3->setEditText(QStringLiteral("kept"));
        tool_.Combo4->setEditText(QString::number(below(300)));
        tool_.Combo5->setCurrentIndex(below(2));
        tool_.Combo6->setCurrentIndex(below(2));
        tool_.Combo7->setCurrentIndex(below(2));

        Expectation e;
        e.what = QStringLiteral("restart \"%1\"").arg(address.text);
        if (!address.value) {
            e.messages << notAByte(msg::kLabelOriginalAddress);
            return e;
        }
        e.address = address.value;
        e.frame = frameOf(*address.value, 'X', {});
        return e;
    }

    // Random display text: short mostly, long now and then, now and then past the longest
    // frame; ASCII, Chinese, tabs, line breaks and characters the code page lacks.
    Expectation prepareText(QPlainTextEdit *box, char letter, const QString &before,
                            const QString &after) {
        const int roll = below(1000);
        const int pieces = roll < 700   ? below(41)
                           : roll < 975 ? 40 + below(360)
                           : roll < 995 ? 2000 + below(5000)
                                        : 8600 + below(600);
        const bool chineseOnly = pieces >= 8600;
        QString text;
        QByteArray cp936;
        for (int i = 0; i < pieces; ++i) {
            const int kind = chineseOnly ? 0 : below(100);
            if (kind < 35) {
                const Piece &p = chinesePieces()[std::size_t(below(int(chinesePieces().size())))];
                text += p.text;
                cp936 += p.cp936;
            } else if (kind < 90) {
                const char c = static_cast<char>(0x20 + below(0x5F));
                text += QLatin1Char(c);
                cp936 += c;
            } else if (kind < 94) {
                text += u'\n';
                cp936 += "\r\n";
            } else if (kind < 96) {
                text += u'\t';
                cp936 += '\t';
            } else {
                const Piece &p =
                    unmappablePieces()[std::size_t(below(int(unmappablePieces().size())))];
                text += p.text;
                cp936 += p.cp936;
            }
        }
        const NumberText address = chance(3) ? notANumber() : originalAddress();
        chooseOrType(tool_.Combo2, address.text);
        box->setPlainText(text);

        Expectation e;
        e.what = QStringLiteral("%1 text to \"%2\", %3 characters")
                     .arg(QLatin1Char(letter))
                     .arg(address.text)
                     .arg(text.size());
        if (!address.value) {
            e.messages << notAByte(msg::kLabelOriginalAddress);
            return e;
        }
        const QByteArray frame = frameOf(*address.value, letter, carried(cp936));
        if (frame.size() > kLongestFrame) {
            e.messages << errorMessage(msg::kTextTooLong);
            return e;
        }
        e.address = address.value;
        e.frame = frame;
        e.caption =
            before + address.text + after + QString::number(cp936.size()) + QStringLiteral(")");
        return e;
    }

    std::vector<std::size_t> addressed(int address) const {
        std::vector<std::size_t> out;
        for (std::size_t i = 0; i < cards_.size(); ++i)
            if (address == 0 || cards_[i].address == address)
                out.push_back(i);
        return out;
    }

    // How the card prints its settings, up to its texts.
    static QString state(const CardModel &c) {
        return QStringLiteral("card %1: rows %2 chars %3 flags 0x%4 scan %5 ")
            .arg(c.address)
            .arg(c.rows)
            .arg(c.chars)
            .arg(QStringLiteral("%1").arg(c.flags, 2, 16, QLatin1Char('0')).toUpper())
            .arg(c.scan);
    }

    static QByteArray reply(const CardModel &c) {
        return encodedValue(c.address) + encodedValue(c.rows) + encodedValue(c.chars) +
               encodedValue(c.flags) + encodedValue(c.scan);
    }

    // The card's lines for the frame: the frame itself, the state of each card it reached,
    // and for a restart the answer.
    QString checkFrame(Kind kind, const Expectation &e) {
        const auto line = card_.next();
        if (!line)
            return QStringLiteral("the card printed no frame; expected %1")
                .arg(hexText(e.frame).left(200));
        const QString expected = hexText(e.frame) + QStringLiteral("  ");
        if (!line->startsWith(expected)) {
            qsizetype at = 0;
            while (at < line->size() && at < expected.size() && line->at(at) == expected.at(at))
                ++at;
            return QStringLiteral("the card took a different frame; from character %1 on it "
                                  "reads\n  %2\nexpected\n  %3")
                .arg(at)
                .arg(line->mid(qMax<qsizetype>(0, at - 12), 120),
                     expected.mid(qMax<qsizetype>(0, at - 12), 120));
        }
        ++framesChecked;
        const std::vector<std::size_t> reached = addressed(*e.address);
        if (reached.empty() != line->endsWith(QStringLiteral(": no card at this address")))
            return QStringLiteral("the card says \"%1\"").arg(line->mid(expected.size()).left(200));
        if (kind == Kind::Settings)
            for (const std::size_t i : reached)
                cards_[i] = pendingSettings_;
        for (const std::size_t i : reached) {
            const auto stateLine = card_.next();
            if (!stateLine || !stateLine->startsWith(state(cards_[i])))
                return QStringLiteral("card state \"%1\", expected \"%2\"")
                    .arg(stateLine.value_or(QStringLiteral("<none>")).left(200), state(cards_[i]));
        }
        if (kind == Kind::Restart && !reached.empty()) {
            const CardModel &answering = cards_[reached.front()];
            const QString answer = QStringLiteral("card %1 answers: %2")
                                       .arg(answering.address)
                                       .arg(hexText(reply(answering)));
            const auto answerLine = card_.next();
            if (answerLine != answer)
                return QStringLiteral("answer \"%1\", expected \"%2\"")
                    .arg(answerLine.value_or(QStringLiteral("<none>")), answer);
        }
        return {};
    }

    // At the tick the lists show what the answering card holds; without an answer they stay.
    QString checkReadBack(int address, const QStringList &before) {
        if (!waitFor([this] { return !tool_.Timer1.isActive(); }, 5s))
            return QStringLiteral("the reply timer never fired");
        QStringList expected = before;
        const std::vector<std::size_t> reached = addressed(address);
        if (reached.empty()) {
            ++unanswered;
        } else {
            const CardModel &c = cards_[reached.front()];
            expected[0] = QString::number(c.address);
            if (c.rows >= 1 && c.rows <= 8)
                expected[1] = QString::number(c.rows);
            else if (c.rows == 0)
                expected[1] = QString();
            expected[2] = QString::number(c.chars);
            // The card reports its flags as the settings frame wrote them; those values are
            // read bit by bit (data bit 0, OE bit 4), so a read-back followed by new settings
            // leaves the polarities as they were. Any other non-zero value: both forward.
            const bool written =
                c.flags == 0x00 || c.flags == 0x01 || c.flags == 0x10 || c.flags == 0x11;
            expected[3] = (written ? c.flags & 0x01 : c.flags) != 0 ? msg::kForward : msg::kReverse;
            expected[4] = (written ? c.flags & 0x10 : c.flags) != 0 ? msg::kForward : msg::kReverse;
            if (c.scan == 1)
                expected[5] = msg::kFullScreen;
            else if (c.scan != 3)
                expected[5] = msg::kHalfScreen;
            ++readBacksChecked;
        }
        if (lists() != expected)
            return QStringLiteral("lists after the read-back [%1], expected [%2]")
                .arg(lists().join(u','), expected.join(u','));
        return {};
    }

    RecordingForm &tool_;
    CardProcess &card_;
    std::mt19937 rng_;
    std::vector<CardModel> cards_;
    CardModel pendingSettings_;
};

int commandsFromEnvironment() {
    bool ok = false;
    const int n = qEnvironmentVariableIntValue("STRAVIK_SOAK_COMMANDS", &ok);
    return ok && n > 0 ? n : kDefaultCommands;
}

unsigned seedFromEnvironment() {
    bool ok = false;
    const int seed = qEnvironmentVariableIntValue("STRAVIK_SOAK_SEED", &ok);
    return ok ? static_cast<unsigned>(seed) : kDefaultSeed;
}

bool underAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

} // namespace

// One run goes through the rows of commandsAgainstTheVirtualCard in turn, against one card
// process and one window; a row holds at most kCommandsPerRow commands, so that a long run
// reports as it goes.
class SoakTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        if (!QFileInfo(cardProgram()).isExecutable())
            QSKIP("the virtual card is not built beside the tests");
        commands_ = commandsFromEnvironment();
        seed_ = seedFromEnvironment();
        // QtTest ends a test function after QTEST_FUNCTION_TIMEOUT ms (300 s by default), and
        // the watchdog of Qt 6.4 does not always start again between the rows: a long run
        // needs the limit raised for the whole of it. A command takes about 60 ms.
        const qint64 neededMs = qint64(commands_) * 120 + 60'000;
        if (neededMs > 300'000 && qEnvironmentVariableIntValue("QTEST_FUNCTION_TIMEOUT") < neededMs)
            QFAIL(qPrintable(QStringLiteral("%1 commands take longer than QtTest lets a test "
                                            "function run: set QTEST_FUNCTION_TIMEOUT=%2")
                                 .arg(commands_)
                                 .arg(neededMs)));
        QStringList addresses;
        for (const int a : kCardAddresses)
            addresses << QString::number(a);
        // Each line the card prints is let go once checked, so the run's memory is the tool's.
        card_ = std::make_unique<CardProcess>(addresses.join(u','), CardProcess::History::Drop);
        QVERIFY2(card_->started(), "the virtual card named no pseudo-terminal");
        tool_ = std::make_unique<RecordingForm>(card_->slavePath());
        QVERIFY(tool_->load());
        tool_->setReplyDelay(kReplyDelayOfTheRun);
        warmAfter_ = qMin(kWarmCommands, commands_ / 3);
        warmHeapKb_ = heapInUseKb(); // taken again after warmAfter_ commands
        soak_ = std::make_unique<Soak>(*tool_, *card_, seed_);
        clock_.start();
    }

    // Commands of all four kinds with varied inputs go through the window to the virtual
    // card; every frame the card takes is compared byte for byte with the expected one, every
    // restart's read-back with the card's settings.
    void commandsAgainstTheVirtualCard_data() {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("last");
        const int commands = commandsFromEnvironment();
        for (int first = 1; first <= commands; first += kCommandsPerRow) {
            const int last = qMin(commands, first + kCommandsPerRow - 1);
            QTest::addRow("commands %d to %d", first, last) << first << last;
        }
    }
    void commandsAgainstTheVirtualCard() {
        QFETCH(int, first);
        QFETCH(int, last);
        if (broken_)
            QSKIP("an earlier row failed; the card no longer matches the expectation");
        broken_ = true;
        for (int i = first; i <= last; ++i) {
            const QString wrong = soak_->run(i);
            QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("seed %1, ").arg(seed_) + wrong));
            if (i == warmAfter_) {
                warmHeapKb_ = heapInUseKb();
                warmKb_ = residentKb();
                report(i);
            }
        }
        broken_ = false;
    }

    // Nothing more reaches the card than the commands sent, and the memory stayed flat.
    void nothingLeftOver() {
        if (broken_)
            QSKIP("an earlier row failed");
        const QString wrong = soak_->finish();
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        const qint64 endKb = residentKb();
        const qint64 endHeapKb = heapInUseKb();
        report(commands_);
        qInfo("seed %u: %d frames checked byte for byte, %d read-backs, %d restarts without an "
              "answer, %d refusals, %d broadcasts cancelled",
              seed_, soak_->framesChecked, soak_->readBacksChecked, soak_->unanswered,
              soak_->refusals, soak_->cancelled);
        qInfo("slowest: %s, %lld ms", qPrintable(soak_->slowest),
              static_cast<long long>(soak_->slowestMs));
        QVERIFY(soak_->framesChecked > commands_ / 2);

        // The address sanitizer keeps its own heap and holds freed memory back for a while, so
        // its runs only report (its leak checker looks at the end of the process).
        if (underAddressSanitizer())
            return;
        const qint64 measured = commands_ - warmAfter_;
        const qint64 allowedKb = qMin<qint64>(8 * 1024, kHeapPerCommandKb * measured);
        QVERIFY2(endHeapKb - warmHeapKb_ < allowedKb,
                 qPrintable(QStringLiteral("heap %1 kB after %2 commands, %3 kB at the end: more "
                                           "than %4 kB for %5 commands")
                                .arg(warmHeapKb_)
                                .arg(warmAfter_)
                                .arg(endHeapKb)
                                .arg(allowedKb)
                                .arg(measured)));
        // The resident size also holds what the heap does not: mapped images, fonts, buffers.
        const qint64 allowedResidentKb = qMin<qint64>(8 * 1024, kResidentPerCommandKb * measured);
        QVERIFY2(warmKb_ > 0 && endKb - warmKb_ < allowedResidentKb,
                 qPrintable(QStringLiteral("resident %1 kB after %2 commands, %3 kB at the end: "
                                           "more than %4 kB for %5 commands")
                                .arg(warmKb_)
                                .arg(warmAfter_)
                                .arg(endKb)
                                .arg(allowedResidentKb)
                                .arg(measured)));
    }

    void cleanupTestCase() {
        soak_.reset();
        tool_.reset();
        card_.reset();
    }

  private:
    void report(int commands) {
        qInfo("after %d commands: heap %lld kB, resident %lld kB (the card %lld kB), %.0f s",
              commands, static_cast<long long>(heapInUseKb()), static_cast<long long>(residentKb()),
              static_cast<long long>(
                  ::residentKb(QStringLiteral("/proc/%1/status").arg(card_->pid()))),
              clock_.elapsed() / 1000.0);
    }

    int commands_ = 0;
    unsigned seed_ = 0;
    std::unique_ptr<CardProcess> card_;
    std::unique_ptr<RecordingForm> tool_;
    std::unique_ptr<Soak> soak_;
    QElapsedTimer clock_;
    int warmAfter_ = 0;
    qint64 warmHeapKb_ = -1;
    qint64 warmKb_ = -1;
    bool broken_ = false;
};

STRAVIK_SUITE("soak", SoakTest);
#include "test_soak.moc"
