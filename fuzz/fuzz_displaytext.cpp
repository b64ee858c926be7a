// Display-text encoding on arbitrary UTF-16. The first input byte is the address, the second
// picks the letter (S or D); the rest is the text, two bytes per code unit, low byte first. The
// code page 936 bytes of the text are worked out here one character at a time (a character
// the code page lacks, a character outside the Basic Multilingual Plane and a lone surrogate
// each become one '?'), and the frame must carry exactly them:
//   - address bytes, letter, payload, terminator, and only the two address bytes 0x80 or more;
//   - the payload read back, a byte below 0x80 as itself and a nibble pair as one byte, gives
//     the text's bytes, with nothing left over; with no byte below 0x10 in the text the pairs
//     are found in the payload alone;
//   - textUnits, textBytes and payloadLength are the code units, the text bytes and the
//     payload length.
#include "protocol/frame.h"

#include <QStringEncoder>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void check(bool holds, const char *what) {
    if (!holds) {
        std::fprintf(stderr, "display text: %s\n", what);
        std::abort();
    }
}

// The code page 936 bytes of one character, or '?' when the code page lacks it.
QByteArray characterBytes(QStringView character) {
    QStringEncoder encoder("GBK", QStringConverter::Flag::Stateless);
    const QByteArray bytes = encoder.encode(character);
    return encoder.hasError() || bytes.isEmpty() ? QByteArray("?") : bytes;
}

// The same for a code unit that is no surrogate, worked out once for each of them.
const QByteArray &unitBytes(char16_t unit) {
    static std::vector<QByteArray> known(0x10000);
    static std::vector<bool> done(0x10000);
    if (!done[unit]) {
        known[unit] = characterBytes(QStringView(&unit, 1));
        done[unit] = true;
    }
    return known[unit];
}

QByteArray expectedBytes(const QString &text) {
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            bytes += characterBytes(QStringView(text).mid(i, 2));
            ++i;
        } else if (QChar::isSurrogate(unit)) {
            bytes += '?';
        } else {
            bytes += unitBytes(unit);
        }
    }
    return bytes;
}

// Reads the payload back along the expected bytes; false when it carries anything else.
bool carriesExactly(const Frame &frame, const QByteArray &expected) {
    std::size_t p = 3;
    const std::size_t end = frame.size() - 1;
    for (const char c : expected) {
        const auto b = static_cast<std::uint8_t>(c);
        if (b < 0x80) {
            if (p >= end || frame[p] != b)
                return false;
            p += 1;
        } else {
            if (p + 1 >= end || frame[p] < 0x08 || frame[p] > 0x0F || frame[p + 1] > 0x0F ||
                ((frame[p] << 4) | frame[p + 1]) != b)
                return false;
            p += 2;
        }
    }
    return p == end;
}

// Reads the payload back without knowing the text: a byte of 0x08..0x0F and the byte after it
// form one byte. Holds when no text byte is below 0x10.
QByteArray readBack(const Frame &frame) {
    QByteArray bytes;
    for (std::size_t p = 3; p + 1 < frame.size();) {
        const std::uint8_t b = frame[p];
        if (b >= 0x08 && b <= 0x0F && p + 2 < frame.size()) {
            bytes += static_cast<char>((b << 4) | frame[p + 1]);
            p += 2;
        } else {
            bytes += static_cast<char>(b);
            p += 1;
        }
    }
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2)
        return 0;
    const int address = data[0];
    const std::uint8_t letter = data[1] & 1 ? kLetterDisplayText : kLetterInitialText;
    QString text;
    for (std::size_t i = 2; i + 1 < size; i += 2)
        text += QChar(static_cast<char16_t>(data[i] | data[i + 1] << 8));

    const QByteArray expected = expectedBytes(text);
    const DisplayTextFrame built = BuildDisplayTextFrame(address, letter, text);
    const Frame &frame = built.frame;

    check(frame.size() >= 4, "the frame is shorter than its envelope");
    check(frame[0] == 0x80 + (address & 0x3F) && frame[1] == 0xC0 + (address >> 6),
          "wrong address bytes");
    check(frame[2] == letter, "wrong letter");
    check(frame.back() == kTerminator, "the terminator is not last");
    std::size_t high = 0;
    for (const std::uint8_t b : frame)
        high += b >= 0x80 ? 1 : 0;
    check(high == 2, "other bytes than the address bytes are 0x80 or more");
    check(carriesExactly(frame, expected), "the payload does not carry the text's bytes");
    if (std::none_of(expected.begin(), expected.end(),
                     [](char c) { return static_cast<std::uint8_t>(c) < 0x10; }))
        check(readBack(frame) == expected, "the payload reads back as other bytes");
    check(built.textBytes == expected.size(), "textBytes is not the number of text bytes");

    const DisplayTextPayload payload = EncodeDisplayText(text);
    check(payload.textUnits == text.size(), "textUnits is not the number of code units");
    check(payload.textBytes == expected.size(), "textBytes is not the number of text bytes");
    check(payload.payloadLength == static_cast<qint32>(payload.carried.size()) &&
              payload.payloadLength + 4 == static_cast<qint32>(frame.size()),
          "payloadLength is not the payload length");
    return 0;
}
