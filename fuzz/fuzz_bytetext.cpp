// The number texts typed into a list. An even first input byte takes the rest as UTF-16, two
// bytes per code unit, low byte first; an odd one takes each further byte as a pick from
// characters that look like digits or blanks without always being them (full-width and other
// scripts' digits, no-break and ideographic spaces, signs, a zero-width space), so that texts
// near the edge of the rule come often. ParseByteText must agree with a reading written
// straight from the rule: blanks (what QChar::isSpace calls a blank) may stand around the
// number, the rest must be the ASCII digits 0..9 alone, leading zeros allowed, value 0..255.
#include "protocol/frame.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

constexpr char16_t kPicks[] = {
    u'0',    u'1',    u'2',    u'3',   u'4',   u'5',   u'6',   u'7',   u'8',   u'9',
    u'0',    u'1',    u'2',    u'5',   u'5',   u'6',   u' ',   u' ',   u'\t',  u'\n',
    u'\r',   u'\v',   u'\f',   u'\0',  u'+',   u'-',   u'.',   u',',   u'e',   u'x',
    u'\x85', u'\xA0', u'\xB2', 0x0660, 0x0966, 0x1680, 0x2000, 0x200B, 0x2028, 0x202F,
    0x3000,  0xFEFF,  0xFF10,  0xFF11, 0xFF15, 0xD835, 0xDFCE, u'a',   u'O',   u'l',
};

std::optional<int> readByRule(const QString &text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin].isSpace())
        ++begin;
    while (end > begin && text[end - 1].isSpace())
        --end;
    if (begin == end)
        return std::nullopt;
    std::string digits;
    for (qsizetype i = begin; i < end; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        if (!digits.empty() || c != u'0')
            digits += static_cast<char>(c);
    }
    if (digits.size() > 3)
        return std::nullopt;
    const int value = digits.empty() ? 0 : std::stoi(digits);
    if (value > 255)
        return std::nullopt;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    QString text;
    if (data[0] & 1) {
        for (std::size_t i = 1; i < size; ++i)
            text += QChar(kPicks[data[i] % std::size(kPicks)]);
    } else {
        for (std::size_t i = 1; i + 1 < size; i += 2)
            text += QChar(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }

    const std::optional<int> parsed = ParseByteText(text);
    const std::optional<int> expected = readByRule(text);
    if (parsed != expected) {
        std::fprintf(stderr, "typed number: \"%s\" read as %d, by the rule %d (-1: refused)\n",
                     qUtf8Printable(text), parsed.value_or(-1), expected.value_or(-1));
        std::abort();
    }
    return 0;
}
