#include "protocol/frame.h"
#include "tests/suites.h"
#include "tests/support/golden.h"

#include <QHash>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

QByteArray hex(const char *digits) {
    return QByteArray::fromHex(digits);
}

// One character's bytes in code page 936, empty where the code page lacks it. Qt without ICU
// (the Windows build) knows no GBK, so there the system's code page is asked, with no best fit;
// the golden texts hold the bytes both builds must give.
QByteArray gbkOfOne(QChar c) {
#ifdef Q_OS_WIN
    const auto unit = static_cast<wchar_t>(c.unicode());
    char out[2];
    BOOL usedDefault = FALSE;
    const int n = ::WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, &unit, 1, out, int(sizeof out),
                                        nullptr, &usedDefault);
    return n > 0 && !usedDefault ? QByteArray(out, n) : QByteArray();
#else
    QStringEncoder one("GBK", QStringConverter::Flag::Stateless);
    const QByteArray bytes = one.encode(QString(c));
    return one.hasError() ? QByteArray() : bytes;
#endif
}

// The one character two bytes of code page 936 stand for, or an empty string.
QString gbkCharacter(const char (&bytes)[2]) {
#ifdef Q_OS_WIN
    wchar_t out[2];
    const int n = ::MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes, 2, out, 2);
    return n == 1 ? QString(QChar(out[0])) : QString();
#else
    QStringDecoder decoder("GBK");
    const QString c = decoder.decode(QByteArray(bytes, 2));
    return !decoder.hasError() && c.size() == 1 && c.at(0) != QChar::ReplacementCharacter
               ? c
               : QString();
#endif
}

// Code page 936 bytes of a text, worked out one character at a time with a converter of its
// own, so that it shares no state with the encoder under test: a surrogate pair, a lone
// surrogate and every character that code page 936 cannot represent give one '?' each.
QByteArray referenceGbk(const QString &text) {
    static QHash<char16_t, QByteArray> cache;
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out.append('?');
            ++i;
        } else if (c.isSurrogate()) {
            out.append('?');
        } else if (c.unicode() < 0x80) {
            out.append(static_cast<char>(c.unicode()));
        } else {
            auto found = cache.constFind(c.unicode());
            if (found == cache.constEnd()) {
                const QByteArray bytes = gbkOfOne(c);
                found = cache.insert(c.unicode(), bytes.isEmpty() ? QByteArray("?") : bytes);
            }
            out.append(*found);
        }
    }
    return out;
}

// The display-text frame expected for a text, from the reference bytes: a byte below 0x80 as
// it is, any other as its high nibble and its low nibble.
QByteArray referenceFrame(int address, std::uint8_t letter, const QString &text) {
    QByteArray frame;
    frame.append(static_cast<char>(0x80 + (address & 0x3F)));
    frame.append(static_cast<char>(0xC0 + (address >> 6)));
    frame.append(static_cast<char>(letter));
    for (const char c : referenceGbk(text)) {
        const auto b = static_cast<std::uint8_t>(c);
        if (b < 0x80) {
            frame.append(static_cast<char>(b));
        } else {
            frame.append(static_cast<char>(b >> 4));
            frame.append(static_cast<char>(b & 0x0F));
        }
    }
    frame.append(static_cast<char>(kTerminator));
    return frame;
}

// Empty when the frame keeps the envelope rules: bit 7 set in the two address bytes and in no
// other byte, the terminator last.
QString envelopeProblem(const Frame &frame) {
    if (frame.size() < 4)
        return QStringLiteral("frame of %1 bytes").arg(frame.size());
    if (frame[0] < 0x80 || frame[1] < 0x80)
        return QStringLiteral("address byte below 0x80");
    for (std::size_t i = 2; i < frame.size(); ++i) {
        if (frame[i] >= 0x80)
            return QStringLiteral("byte %1 at position %2").arg(frame[i], 2, 16).arg(i);
    }
    if (frame.back() != kTerminator)
        return QStringLiteral("last byte %1").arg(frame.back(), 2, 16);
    return {};
}

QString codeUnits(const QString &text) {
    QStringList units;
    for (const QChar c : text)
        units.append(QStringLiteral("%1").arg(c.unicode(), 4, 16, QLatin1Char('0')));
    return units.join(u' ');
}

QList<int> toList(const ReplyValues &values) {
    return QList<int>(values.begin(), values.end());
}

QByteArray encoded(int value) {
    const EncodedValue e = EncodeSettingValue(value);
    return QByteArray(reinterpret_cast<const char *>(e.bytes.data()), e.count);
}

// Kinds of characters the random texts are made of.
enum Pool : unsigned {
    Ascii = 1u << 0,      // every code 0x00..0x7F, 0x1A and tab included
    LineBreaks = 1u << 1, // CR LF, LF, CR
    Gb2312 = 1u << 2,     // the Chinese characters of GB2312: both bytes 0xA1 or more
    OtherGbk = 1u << 3,   // GBK beyond GB2312: second byte often below 0x80, the euro, 0xFF
    Unmappable = 1u << 4, // characters code page 936 lacks
    Ignorable = 1u << 5,  // characters the converter may drop silently (zero width, BOM)
    NonBmp = 1u << 6,     // surrogate pairs
    LoneSurrogate = 1u << 7,
};

class TextMaker {
  public:
    explicit TextMaker(quint32 seed) : rng_(seed) {}

    QString make(unsigned pools, int maxItems) {
        QList<Pool> chosen;
        for (unsigned bit = 1; bit <= LoneSurrogate; bit <<= 1) {
            if (pools & bit)
                chosen.append(static_cast<Pool>(bit));
        }
        QString text;
        const int items = rng_.bounded(maxItems + 1);
        for (int i = 0; i < items; ++i)
            text += item(chosen.at(rng_.bounded(static_cast<int>(chosen.size()))));
        return text;
    }

  private:
    int between(int low, int high) { return low + rng_.bounded(high - low + 1); }

    // One character decoded from a double-byte code that the converter knows.
    QString fromGbk(int leadLow, int leadHigh, int trailLow, int trailHigh) {
        for (;;) {
            const int trail = between(trailLow, trailHigh);
            if (trail == 0x7F)
                continue;
            const char bytes[2] = {static_cast<char>(between(leadLow, leadHigh)),
                                   static_cast<char>(trail)};
            const QString c = gbkCharacter(bytes);
            if (!c.isEmpty())
                return c;
        }
    }

    QString item(Pool pool) {
        switch (pool) {
        case Ascii:
            return QString(QChar(static_cast<char16_t>(rng_.bounded(0x80))));
        case LineBreaks: {
            static const QStringList breaks{QStringLiteral("\r\n"), QStringLiteral("\n"),
                                            QStringLiteral("\r")};
            return breaks.at(rng_.bounded(static_cast<int>(breaks.size())));
        }
        case Gb2312:
            return fromGbk(0xB0, 0xF7, 0xA1, 0xFE);
        case OtherGbk:
            switch (rng_.bounded(4)) {
            case 0:
                return QStringLiteral("\u20AC"); // the one byte 0x80
            case 1:
                return QStringLiteral("\uF8F5"); // the one byte 0xFF
            case 2:
                return fromGbk(0x81, 0xA0, 0x40, 0xFE);
            default:
                return fromGbk(0xAA, 0xFE, 0x40, 0xA0);
            }
        case Unmappable: {
            static const QList<char16_t> lacking{0x00FF, 0x0080, 0x00A5, 0x0100,
                                                 0x0E01, 0x0627, 0xFFFD, 0x030A};
            if (rng_.bounded(2) == 0)
                return QString(QChar(static_cast<char16_t>(between(0xAC00, 0xD7A3)))); // Hangul
            return QString(QChar(lacking.at(rng_.bounded(static_cast<int>(lacking.size())))));
        }
        case Ignorable: {
            static const QList<char16_t> ignorable{0x200B, 0x200D, 0xFEFF, 0x00AD, 0xFE0F};
            return QString(QChar(ignorable.at(rng_.bounded(static_cast<int>(ignorable.size())))));
        }
        case NonBmp: {
            const char32_t ucs4 = static_cast<char32_t>(between(0x10000, 0x10FFFF));
            return QString::fromUcs4(&ucs4, 1);
        }
        case LoneSurrogate:
            return QString(QChar(static_cast<char16_t>(between(0xD800, 0xDFFF))));
        }
        return {};
    }

    QRandomGenerator rng_;
};

} // namespace

Q_DECLARE_METATYPE(SettingsValues)

class FrameTest : public QObject {
    Q_OBJECT
  private slots:
    void shiftRight_data() {
        QTest::addColumn<int>("opr");
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("expected");
        QTest::newRow("0xFF by 6") << 0xFF << 6 << 3;
        QTest::newRow("0xC3 by 1") << 0xC3 << 1 << 0x61;
        QTest::newRow("0x80 by 7") << 0x80 << 7 << 1;
        QTest::newRow("0xFF by 7") << 0xFF << 7 << 1;
        QTest::newRow("0xA5 by 0") << 0xA5 << 0 << 0xA5;
        QTest::newRow("0xA5 by -1") << 0xA5 << -1 << 0xA5;
        QTest::newRow("0xFF by -32768") << 0xFF << -32768 << 0xFF;
        QTest::newRow("0xFF by 8") << 0xFF << 8 << 0;
        QTest::newRow("0x80 by 9") << 0x80 << 9 << 0;
        QTest::newRow("0xFF by 32767") << 0xFF << 32767 << 0;
    }
    void shiftRight() {
        QFETCH(int, opr);
        QFETCH(int, n);
        QFETCH(int, expected);
        QCOMPARE(int(SHR(static_cast<std::uint8_t>(opr), static_cast<std::int16_t>(n))), expected);
    }

    void shiftRightEveryByte() {
        for (int opr = 0; opr < 256; ++opr) {
            for (int n = -3; n <= 10; ++n) {
                const int expected = n <= 0 ? opr : n >= 8 ? 0 : opr >> n;
                QVERIFY2(SHR(static_cast<std::uint8_t>(opr), static_cast<std::int16_t>(n)) ==
                             expected,
                         qPrintable(QStringLiteral("SHR(%1, %2)").arg(opr).arg(n)));
            }
        }
    }

    void addressBytes_data() {
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("0 broadcast") << 0 << hex("80c0");
        QTest::newRow("1") << 1 << hex("81c0");
        QTest::newRow("63") << 63 << hex("bfc0");
        QTest::newRow("64") << 64 << hex("80c1");
        QTest::newRow("100") << 100 << hex("a4c1");
        QTest::newRow("127") << 127 << hex("bfc1");
        QTest::newRow("128") << 128 << hex("80c2");
        QTest::newRow("200") << 200 << hex("88c3");
        QTest::newRow("255") << 255 << hex("bfc3");
    }
    void addressBytes() {
        QFETCH(int, address);
        QFETCH(QByteArray, expected);
        const AddressBytes a = EncodeAddress(address);
        QCOMPARE(toByteArray({a.low, a.high}), expected);
    }

    void everyAddressEncodesInTwoMarkedBytes() {
        for (int address = 0; address < 256; ++address) {
            const AddressBytes a = EncodeAddress(address);
            const QString where = QStringLiteral("address %1").arg(address);
            QVERIFY2(a.low == 0x80 + (address & 0x3F), qPrintable(where));
            QVERIFY2(a.high == 0xC0 + (address >> 6), qPrintable(where));

            const Frame restart = BuildRestartFrame(address);
            const QString restartProblem = envelopeProblem(restart);
            QVERIFY2(restartProblem.isEmpty(),
                     qPrintable(where + QStringLiteral(": ") + restartProblem));
            // Every settings value, in every one of the five places.
            for (int value = 0; value < 256; ++value) {
                const Frame frame =
                    BuildSettingsFrame(address, {value, value, value, value, value});
                const QString problem = envelopeProblem(frame);
                QVERIFY2(
                    problem.isEmpty(),
                    qPrintable(
                        QStringLiteral("%1, value %2: %3").arg(where).arg(value).arg(problem)));
                QCOMPARE(qsizetype(frame.size()), 4 + 5 * encoded(value).size());
            }
        }
    }

    void settingValue_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("0 split") << 0 << hex("0000");
        QTest::newRow("5 split") << 5 << hex("0005");
        QTest::newRow("15 split") << 15 << hex("000f");
        QTest::newRow("16 alone") << 16 << hex("10");
        QTest::newRow("26 alone, the terminator's value") << 26 << hex("1a");
        QTest::newRow("127 alone") << 127 << hex("7f");
        QTest::newRow("128 split") << 128 << hex("0800");
        QTest::newRow("200 split") << 200 << hex("0c08");
        QTest::newRow("255 split") << 255 << hex("0f0f");
    }
    void settingValue() {
        QFETCH(int, value);
        QFETCH(QByteArray, expected);
        QCOMPARE(encoded(value), expected);
    }

    void settingValueRoundTrip() {
        for (int value = 0; value < 256; ++value) {
            const QByteArray bytes = encoded(value);
            QCOMPARE(bytes.size(), value >= 16 && value <= 127 ? 1 : 2);
            for (const char b : bytes)
                QVERIFY(static_cast<std::uint8_t>(b) <= 0x7F);
            // At the start, in the middle, and a pair whose second byte is the buffer's last.
            for (const int position : {0, 4, 9}) {
                ReplyBuffer buffer;
                buffer.fill(0x7E);
                for (qsizetype i = 0; i < bytes.size(); ++i)
                    buffer[position + i] = static_cast<std::uint8_t>(bytes[i]);
                const DecodedValue decoded = DecodeSettingValue(buffer, position);
                QCOMPARE(decoded.value, value);
                QCOMPARE(decoded.position, position + int(bytes.size()));
            }
        }
    }

    void decodeSettingValue_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("position");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("next");
        QTest::newRow("single byte of 128 or more is itself") << hex("c8") << 0 << 200 << 1;
        QTest::newRow("pair above 255 gives 0") << hex("0f20") << 0 << 0 << 2;
        QTest::newRow("pair 0F 10 is 256, gives 0") << hex("0f10") << 0 << 0 << 2;
        QTest::newRow("pair 0F 0F is 255") << hex("0f0f") << 0 << 255 << 2;
        QTest::newRow("pair at the last position reads 0 beyond")
            << hex("0000000000000000000003") << 10 << 48 << 12;
    }
    void decodeSettingValue() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, position);
        QFETCH(int, value);
        QFETCH(int, next);
        ReplyBuffer buffer{};
        for (qsizetype i = 0; i < bytes.size(); ++i)
            buffer[i] = static_cast<std::uint8_t>(bytes[i]);
        const DecodedValue decoded = DecodeSettingValue(buffer, position);
        QCOMPARE(decoded.value, value);
        QCOMPARE(decoded.position, next);
    }

    void restartFrame_data() {
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("expected");
        for (const GoldenRestart &g : goldenRestarts())
            QTest::newRow(g.name) << g.address << g.frame;
    }
    void restartFrame() {
        QFETCH(int, address);
        QFETCH(QByteArray, expected);
        QCOMPARE(toByteArray(BuildRestartFrame(address)), expected);
    }

    void settingsFrame_data() {
        QTest::addColumn<int>("address");
        QTest::addColumn<SettingsValues>("values");
        QTest::addColumn<QByteArray>("expected");
        for (const GoldenSettings &g : goldenSettings())
            QTest::newRow(g.name) << g.address << g.values << g.frame;
    }
    void settingsFrame() {
        QFETCH(int, address);
        QFETCH(SettingsValues, values);
        QFETCH(QByteArray, expected);
        QCOMPARE(toByteArray(BuildSettingsFrame(address, values)), expected);
    }

    void reply_data() {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QList<int>>("values");
        QTest::newRow("nine bytes, all pairs but one")
            << hex("00050002000c110001") << QList<int>{5, 2, 12, 17, 1};
        QTest::newRow("address 200, rows 32, scan mode 3")
            << hex("0c08201000000003") << QList<int>{200, 32, 16, 0, 3};
        QTest::newRow("three bytes, rest reads 0") << hex("202122") << QList<int>{32, 33, 34, 0, 0};
        QTest::newRow("starts 0F 20: pair above 255")
            << hex("0f20000510110001") << QList<int>{0, 5, 16, 17, 1};
        QTest::newRow("pair above 255 in the middle")
            << hex("100f10111213") << QList<int>{16, 0, 17, 18, 19};
        QTest::newRow("pair cut off by the end")
            << hex("2021222301") << QList<int>{32, 33, 34, 35, 16};
        QTest::newRow("rows 0") << hex("00050000000c00000000") << QList<int>{5, 0, 12, 0, 0};
        QTest::newRow("single byte of 128 or more")
            << hex("c8801011") << QList<int>{200, 128, 16, 17, 0};
        QTest::newRow("twelve bytes, only ten read")
            << hex("000100020003000400050f0f") << QList<int>{1, 2, 3, 4, 5};
        QTest::newRow("twelve single bytes")
            << hex("101112131415161718191a1b") << QList<int>{16, 17, 18, 19, 20};
        QTest::newRow("nothing received") << QByteArray() << QList<int>{0, 0, 0, 0, 0};
        QTest::newRow("a thousand bytes")
            << QByteArray(1000, '\x0f') << QList<int>{255, 255, 255, 255, 255};
    }
    void reply() {
        QFETCH(QByteArray, received);
        QFETCH(QList<int>, values);
        QCOMPARE(toList(DecodeReply(received)), values);
    }

    // A two-wire adapter hands the restart frame back in front of the reply: exactly the echo
    // is dropped, even where the reply begins with bytes the frame also has, and a reply cut
    // short behind it is not yet whole.
    void echoDropped_data() {
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("whole");
        const QByteArray card5 = hex("00050001000400000000");
        const QByteArray card88 = hex("580001000400000000"); // begins with the letter X
        QTest::newRow("no echo, the reply of address 88") << 5 << card88 << card88 << true;
        QTest::newRow("echo, then the reply of address 88")
            << 5 << hex("85c0581a") + card88 << card88 << true;
        QTest::newRow("broadcast echo, then a reply")
            << 0 << hex("80c0581a") + card5 << card5 << true;
        QTest::newRow("only the echo's address bytes") << 5 << hex("85c0") + card5 << card5 << true;
        QTest::newRow("echo, the reply cut short")
            << 5 << hex("85c0581a000500") << hex("000500") << false;
        QTest::newRow("the echo alone") << 5 << hex("85c0581a") << QByteArray() << false;
        QTest::newRow("a settings frame's echo, the restart's, then a reply")
            << 5 << hex("85c041000500030004000000001a85c0581a") + card5 << card5 << true;
    }
    void echoDropped() {
        QFETCH(int, address);
        QFETCH(QByteArray, received);
        QFETCH(QByteArray, reply);
        QFETCH(bool, whole);
        const Frame settings = BuildSettingsFrame(address, {address, 3, 4, 0, 0});
        const QByteArray got = WithoutEcho(received, {BuildRestartFrame(address), settings});
        QCOMPARE(got.toHex(' '), reply.toHex(' '));
        QCOMPARE(IsWholeReply(got), whole);
    }

    void displayText_data() {
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("letter");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<int>("textUnits");
        QTest::addColumn<int>("textBytes");
        for (const GoldenText &g : goldenTexts())
            QTest::newRow(g.name) << g.address << int(g.letter) << g.text << g.frame << g.textUnits
                                  << g.textBytes;
    }
    void displayText() {
        QFETCH(int, address);
        QFETCH(int, letter);
        QFETCH(QString, text);
        QFETCH(QByteArray, expected);
        QFETCH(int, textUnits);
        QFETCH(int, textBytes);
        const DisplayTextFrame built =
            BuildDisplayTextFrame(address, static_cast<std::uint8_t>(letter), text);
        QCOMPARE(toByteArray(built.frame), expected);
        QCOMPARE(built.textBytes, textBytes);
        const DisplayTextPayload payload = EncodeDisplayText(text);
        QCOMPARE(payload.textUnits, textUnits);
        QCOMPARE(payload.textBytes, textBytes);
        QCOMPARE(payload.payloadLength, qint32(expected.size() - 4));
        QCOMPARE(toByteArray(payload.carried), expected.mid(3, expected.size() - 4));
    }

    // The machine's own conversion is a real one; without it every display text is refused.
    void codePage936IsReal() {
        QVERIFY(codePage936().isValid());
        QCOMPARE(codePage936().encode(QStringLiteral("欢迎光临")), hex("bbb6d3adb9e2c1d9"));
    }

    // Long texts keep their full length (nothing wraps at 16 bits), and the longest frame the
    // card can place ends exactly at 32,767 bytes: the caller refuses every frame past it.
    void longTexts_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("textBytes");
        QTest::addColumn<int>("frameLength");
        QTest::addColumn<bool>("placeable");
        const QChar huan(0x6B22); // 欢, BB B6: four carried bytes
        QTest::newRow("ASCII, the longest frame") << QString(32763, u'A') << 32763 << 32767 << true;
        QTest::newRow("ASCII, one byte more") << QString(32764, u'A') << 32764 << 32768 << false;
        QTest::newRow("Chinese, the longest frame")
            << QString(8190, huan) + QStringLiteral("AAA") << 16383 << 32767 << true;
        QTest::newRow("Chinese, one byte more")
            << QString(8190, huan) + QStringLiteral("AAAA") << 16384 << 32768 << false;
        QTest::newRow("Chinese, far past the limit")
            << QString(20000, huan) << 40000 << 80004 << false;
    }
    void longTexts() {
        QFETCH(QString, text);
        QFETCH(int, textBytes);
        QFETCH(int, frameLength);
        QFETCH(bool, placeable);
        const DisplayTextFrame built = BuildDisplayTextFrame(1, kLetterDisplayText, text);
        QCOMPARE(built.textBytes, textBytes);
        QCOMPARE(qsizetype(built.frame.size()), qsizetype(frameLength));
        QCOMPARE(qsizetype(built.frame.size()) <= kMaxFrameLength, placeable);
        QCOMPARE(toByteArray(built.frame), referenceFrame(1, kLetterDisplayText, text));
    }

    void randomTexts_data() {
        QTest::addColumn<unsigned>("pools");
        QTest::addColumn<quint32>("seed");
        QTest::newRow("ASCII and line breaks") << unsigned(Ascii | LineBreaks) << 101u;
        QTest::newRow("GB2312 with ASCII") << unsigned(Gb2312 | Ascii | LineBreaks) << 102u;
        QTest::newRow("other GBK") << unsigned(OtherGbk | Ascii) << 103u;
        QTest::newRow("characters code page 936 lacks")
            << unsigned(Unmappable | Gb2312 | Ascii) << 104u;
        QTest::newRow("characters the converter ignores") << unsigned(Ignorable | Ascii) << 105u;
        QTest::newRow("outside the BMP") << unsigned(NonBmp | Gb2312 | Ascii) << 106u;
        QTest::newRow("lone surrogates") << unsigned(LoneSurrogate | NonBmp | Ascii) << 107u;
        QTest::newRow("everything") << unsigned(0xFF) << 108u;
    }
    void randomTexts() {
        QFETCH(unsigned, pools);
        QFETCH(quint32, seed);
        TextMaker maker(seed);
        QRandomGenerator addresses(seed ^ 0x5A5Au);
        for (int round = 0; round < 1000; ++round) {
            const QString text = maker.make(pools, 40);
            const int address = addresses.bounded(256);
            const QString where =
                QStringLiteral("text [%1] to address %2: ").arg(codeUnits(text)).arg(address);

            const DisplayTextFrame initial =
                BuildDisplayTextFrame(address, kLetterInitialText, text);
            const QString problem = envelopeProblem(initial.frame);
            QVERIFY2(problem.isEmpty(), qPrintable(where + problem));

            // The carried bytes alone cannot be split back unambiguously (CR LF, 0D 0A, is also
            // the pair of the byte 0xDA), so the whole frame is compared with the one the
            // reference bytes give.
            const QByteArray frame = toByteArray(initial.frame);
            const QByteArray expected = referenceFrame(address, kLetterInitialText, text);
            QVERIFY2(frame == expected,
                     qPrintable(where + QStringLiteral("frame %1, expected %2")
                                            .arg(frame.toHex(' '), expected.toHex(' '))));
            QVERIFY2(initial.textBytes == referenceGbk(text).size(),
                     qPrintable(where + QStringLiteral("textBytes")));
            const DisplayTextPayload payload = EncodeDisplayText(text);
            QVERIFY2(payload.payloadLength == frame.size() - 4,
                     qPrintable(where + QStringLiteral("payloadLength")));
            QVERIFY2(payload.textUnits == text.size(),
                     qPrintable(where + QStringLiteral("textUnits")));

            QByteArray display =
                toByteArray(BuildDisplayTextFrame(address, kLetterDisplayText, text).frame);
            QVERIFY2(display.size() == frame.size() && display[2] == char(kLetterDisplayText),
                     qPrintable(where + QStringLiteral("display-text frame")));
            display[2] = char(kLetterInitialText);
            QVERIFY2(display == frame,
                     qPrintable(where + QStringLiteral("the two letters' frames differ")));
        }
    }

    void byteText_data() {
        // Whole decimal numbers 0..255 only. Blanks around the number are allowed, and leading
        // zeros too: "007" is still the whole number 7 as the operator typed it.
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value"); // -1: refused
        QTest::newRow("0") << QStringLiteral("0") << 0;
        QTest::newRow("255") << QStringLiteral("255") << 255;
        QTest::newRow("blanks around") << QStringLiteral(" 7 ") << 7;
        QTest::newRow("tab before") << QStringLiteral("\t12") << 12;
        QTest::newRow("leading zeros") << QStringLiteral("007") << 7;
        QTest::newRow("many leading zeros") << QStringLiteral("0000000000000000000000255") << 255;
        QTest::newRow("empty") << QString() << -1;
        QTest::newRow("blank only") << QStringLiteral(" ") << -1;
        QTest::newRow("negative") << QStringLiteral("-1") << -1;
        QTest::newRow("minus zero") << QStringLiteral("-0") << -1;
        QTest::newRow("plus sign") << QStringLiteral("+1") << -1;
        QTest::newRow("fraction 1.0") << QStringLiteral("1.0") << -1;
        QTest::newRow("fraction 0.4") << QStringLiteral("0.4") << -1;
        QTest::newRow("hexadecimal &H10") << QStringLiteral("&H10") << -1;
        QTest::newRow("hexadecimal 0x10") << QStringLiteral("0x10") << -1;
        QTest::newRow("exponent") << QStringLiteral("1e2") << -1;
        QTest::newRow("256") << QStringLiteral("256") << -1;
        QTest::newRow("twenty digits") << QStringLiteral("99999999999999999999") << -1;
        QTest::newRow("blank inside") << QStringLiteral("1 2") << -1;
        QTest::newRow("full-width digit") << QStringLiteral("１") << -1;
        QTest::newRow("Arabic-Indic digit") << QStringLiteral("\u0661") << -1;
        QTest::newRow("letters") << QStringLiteral("abc") << -1;
        QTest::newRow("digit then letter") << QStringLiteral("12a") << -1;
    }
    void byteText() {
        QFETCH(QString, text);
        QFETCH(int, value);
        const std::optional<int> parsed = ParseByteText(text);
        QCOMPARE(parsed.value_or(-1), value);
    }
};

STRAVIK_SUITE("frame", FrameTest);
#include "test_frame.moc"
