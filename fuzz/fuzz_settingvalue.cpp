// The settings-value encoder and decoder. The first five input bytes are five values 0..255:
// encoded one after the other into a reply buffer, as the card sends them, they must decode
// to the same values, each ending where its bytes end, and DecodeReply must read them back
// too. Every input byte also gets encoded alone: one byte for 16..127, a nibble pair for any
// other value, never a byte of 0x80 or more. The next eleven bytes are a reply buffer as
// received: decoding at any position gives a value 0..255 and moves on by one byte or two,
// and a value whose bytes are as the encoder writes them encodes back to those bytes.
#include "protocol/frame.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool holds, const char *what) {
    if (!holds) {
        std::fprintf(stderr, "settings value: %s\n", what);
        std::abort();
    }
}

void checkEncoding(int value) {
    const EncodedValue e = EncodeSettingValue(value);
    if (value >= 16 && value <= 127) {
        check(e.count == 1 && e.bytes[0] == value, "16..127 is not sent as itself");
    } else {
        check(e.count == 2, "a value outside 16..127 is not sent as two bytes");
        check(e.bytes[0] < 16 && e.bytes[1] < 16 && e.bytes[0] * 16 + e.bytes[1] == value,
              "a value is not sent as its high and its low nibble");
    }
}

void checkRoundTrip(const std::uint8_t *values) {
    ReplyBuffer buffer{};
    int end[5];
    int length = 0;
    for (int k = 0; k < 5; ++k) {
        const EncodedValue e = EncodeSettingValue(values[k]);
        for (int j = 0; j < e.count; ++j)
            buffer[length++] = e.bytes[j];
        end[k] = length;
    }
    int position = 0;
    for (int k = 0; k < 5; ++k) {
        const DecodedValue d = DecodeSettingValue(buffer, position);
        check(d.value == values[k], "a value does not decode to itself");
        check(d.position == end[k], "decoding does not end where the value's bytes end");
        position = d.position;
    }
    const ReplyValues reply =
        DecodeReply(QByteArray(reinterpret_cast<const char *>(buffer.data()), length));
    for (int k = 0; k < 5; ++k)
        check(reply[k] == values[k], "the reply does not decode to the values sent");
}

void checkDecoding(const ReplyBuffer &buffer) {
    for (int position = 0; position <= 9; ++position) {
        const DecodedValue d = DecodeSettingValue(buffer, position);
        check(d.value >= 0 && d.value <= 255, "a decoded value outside 0..255");
        const int first = buffer[position];
        const int second = buffer[position + 1];
        if (first >= 16) {
            check(d.position == position + 1 && d.value == first, "a lone byte is not itself");
        } else {
            check(d.position == position + 2, "a pair does not take two bytes");
            const int pair = first * 16 + second;
            check(d.value == (pair > 255 ? 0 : pair), "a pair is not high * 16 + low");
        }
        // Bytes the encoder would write for this value encode back to themselves.
        const bool asWritten =
            first >= 16 ? first <= 127 : second < 16 && (d.value < 16 || d.value > 127);
        if (asWritten) {
            const EncodedValue e = EncodeSettingValue(d.value);
            check(e.count == d.position - position && e.bytes[0] == first &&
                      (e.count == 1 || e.bytes[1] == second),
                  "a value read from encoder bytes encodes to other bytes");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
        checkEncoding(data[i]);
    if (size >= 5)
        checkRoundTrip(data);
    if (size >= 16) {
        ReplyBuffer buffer{};
        for (std::size_t i = 0; i < buffer.size(); ++i)
            buffer[i] = data[5 + i];
        checkDecoding(buffer);
    }
    return 0;
}
