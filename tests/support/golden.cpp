#include "tests/support/golden.h"

namespace {

QByteArray hex(const char *digits) {
    return QByteArray::fromHex(digits);
}

constexpr std::uint8_t S = kLetterInitialText;
constexpr std::uint8_t D = kLetterDisplayText;

} // namespace

const std::vector<GoldenSettings> &goldenSettings() {
    // Values: new address, rows, characters per row, polarity flags (1 data forward, 16 OE
    // forward), scan mode (1 full screen).
    static const std::vector<GoldenSettings> all{
        {"3 to 5, data forward, full screen",
         3,
         {5, 2, 16, 1, 1},
         hex("83c0410005000210000100011a")},
        {"broadcast to 1, both reverse, half screen, every value split",
         0,
         {1, 1, 4, 0, 0},
         hex("80c041000100010004000000001a")},
        {"200 to 200, OE forward, half screen",
         200,
         {200, 8, 12, 16, 0},
         hex("88c3410c080008000c1000001a")},
        {"64 to 100, both forward, full screen, the shortest frame",
         64,
         {100, 8, 16, 17, 1},
         hex("80c141640008101100011a")},
        {"255 to 255, 15 characters split, data forward",
         255,
         {255, 8, 15, 1, 0},
         hex("bfc3410f0f0008000f000100001a")},
        {"new address 26, the terminator's value",
         1,
         {26, 4, 16, 17, 1},
         hex("81c0411a0004101100011a")},
        {"polarity both reverse", 1, {1, 1, 4, 0, 0}, hex("81c041000100010004000000001a")},
        {"polarity data forward alone", 1, {1, 1, 4, 1, 0}, hex("81c041000100010004000100001a")},
        {"polarity OE forward alone", 1, {1, 1, 4, 16, 0}, hex("81c0410001000100041000001a")},
        {"polarity both forward", 1, {1, 1, 4, 17, 0}, hex("81c0410001000100041100001a")},
        {"new address 127 one byte", 1, {127, 1, 4, 0, 0}, hex("81c0417f00010004000000001a")},
        {"new address 128 two bytes", 1, {128, 1, 4, 0, 0}, hex("81c041080000010004000000001a")},
        {"characters 15 split", 1, {1, 1, 15, 0, 0}, hex("81c04100010001000f000000001a")},
    };
    return all;
}

const std::vector<GoldenRestart> &goldenRestarts() {
    static const std::vector<GoldenRestart> all{
        {"restart broadcast 0", 0, hex("80c0581a")},
        {"restart 5", 5, hex("85c0581a")},
        {"restart 63, last of the low part", 63, hex("bfc0581a")},
        {"restart 64, the high part changes", 64, hex("80c1581a")},
        {"restart 200", 200, hex("88c3581a")},
        {"restart 255", 255, hex("bfc3581a")},
    };
    return all;
}

const std::vector<GoldenText> &goldenTexts() {
    static const std::vector<GoldenText> all{
        {"AB", 1, S, QStringLiteral("AB"), hex("81c05341421a"), 2, 2},
        {"welcome text", 1, S, QStringLiteral("欢迎光临"),
         hex("81c0530b0b0b060d030a0d0b090e020c010d091a"), 4, 8},
        {"A and a Chinese character", 1, S, QStringLiteral("A欢"), hex("81c053410b0b0b061a"), 2, 3},
        {"test words", 1, D, QStringLiteral("测试通信协议！"),
         hex("81c0440b020e020c0a0d040c0d0a080d000c050d000a0d0d020e090a030a011a"), 7, 14},
        {"test words with CR LF", 1, D, QStringLiteral("测试通信协议！\r\n"),
         hex("81c0440b020e020c0a0d040c0d0a080d000c050d000a0d0d020e090a030a010d0a1a"), 9, 16},
        {"display AB to 200", 200, D, QStringLiteral("AB"), hex("88c34441421a"), 2, 2},
        {"AB to broadcast", 0, S, QStringLiteral("AB"), hex("80c05341421a"), 2, 2},
        {"AB to 255", 255, S, QStringLiteral("AB"), hex("bfc35341421a"), 2, 2},
        {"empty", 1, S, QString(), hex("81c0531a"), 0, 0},
        {"empty display text", 1, D, QString(), hex("81c0441a"), 0, 0},
        {"0x1A inside", 1, S, QString(u'A') + QChar(0x1A) + u'B', hex("81c053411a421a"), 3, 3},
        {"tab", 1, S, QStringLiteral("A\tB"), hex("81c0534109421a"), 3, 3},
        {"tab and two lines", 1, D, QStringLiteral("A\tB\r\nC"), hex("81c0444109420d0a431a"), 6, 6},
        {"euro is one byte 0x80", 1, S, QStringLiteral("€A"), hex("81c0530800411a"), 2, 2},
        {"second byte below 0x80, no stray 0x00", 1, S, QStringLiteral("丂"), hex("81c0530801401a"),
         1, 2},
        {"text byte 0x80", 1, S, QStringLiteral("€"), hex("81c05308001a"), 1, 1},
        {"text byte 0xFF", 1, S, QStringLiteral("\uF8F5"), hex("81c0530f0f1a"), 1, 1},
        {"text byte 0xFF, the A after it kept", 1, S, QStringLiteral("\uF8F5A"),
         hex("81c0530f0f411a"), 2, 2},
        {"emoji is one ?", 1, S, QStringLiteral("A\U0001F600B"), hex("81c053413f421a"), 4, 3},
        {"emoji alone", 1, S, QStringLiteral("\U0001F600"), hex("81c0533f1a"), 2, 1},
        {"emoji first", 1, D, QStringLiteral("\U0001F600A"), hex("81c0443f411a"), 3, 2},
        {"lone high surrogate inside", 1, S, QString(u'A') + QChar(0xD800) + u'B',
         hex("81c053413f421a"), 3, 3},
        {"lone high surrogate first", 1, D, QString(QChar(0xD800)) + u'A', hex("81c0443f411a"), 2,
         2},
        {"lone low surrogate inside", 1, S, QString(u'A') + QChar(0xDC00) + u'B',
         hex("81c053413f421a"), 3, 3},
        {"reversed pair is two ?", 1, S, QString(QChar(0xDC00)) + QChar(0xD800) + u'B',
         hex("81c0533f3f421a"), 3, 3},
        {"lone high surrogate last", 1, S, QStringLiteral("AB") + QChar(0xD800),
         hex("81c05341423f1a"), 3, 3},
        {"lone low surrogate last", 1, S, QStringLiteral("AB") + QChar(0xDC00),
         hex("81c05341423f1a"), 3, 3},
        {"tag character outside the BMP is one ?", 1, S, QStringLiteral("A\U000E0041B"),
         hex("81c053413f421a"), 4, 3},
        {"unmappable y diaeresis", 1, S, QStringLiteral("\u00FF"), hex("81c0533f1a"), 1, 1},
        {"unmappable Hangul", 1, D, QStringLiteral("가A"), hex("81c0443f411a"), 2, 2},
        {"unmappable Thai", 1, D, QStringLiteral("กA"), hex("81c0443f411a"), 2, 2},
        {"zero width space is a ?", 1, S, QStringLiteral("A\u200BB"), hex("81c053413f421a"), 3, 3},
        {"byte order mark is a ?", 1, S, QStringLiteral("\uFEFFA"), hex("81c0533f411a"), 2, 2},
    };
    return all;
}

QByteArray golden(const char *name) {
    const QLatin1String wanted(name);
    for (const GoldenSettings &g : goldenSettings())
        if (wanted == QLatin1String(g.name))
            return g.frame;
    for (const GoldenRestart &g : goldenRestarts())
        if (wanted == QLatin1String(g.name))
            return g.frame;
    for (const GoldenText &g : goldenTexts())
        if (wanted == QLatin1String(g.name))
            return g.frame;
    return {};
}

QString cardHex(const QByteArray &frame) {
    return QString::fromLatin1(frame.toHex(' ').toUpper());
}

QByteArray knownFrame(int command) {
    switch (command) {
    case 1:
        return hex("81c041000200010004000000001a");
    case 2:
        return hex("81c0581a");
    case 6:
        return hex("81c05341421a");
    case 7:
        return hex("81c04441421a");
    default:
        return {};
    }
}
