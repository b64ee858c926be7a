#include "protocol/frame.h"

#include <QStringEncoder>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

std::uint8_t SHR(std::uint8_t OPR, std::int16_t n) {
    std::uint8_t result = OPR;
    for (std::int16_t i = 0; i < n && result != 0; ++i)
        result = static_cast<std::uint8_t>((result & 0xFE) / 2);
    return result;
}

AddressBytes EncodeAddress(int address) {
    const auto a = static_cast<std::uint8_t>(address);
    if (a <= 63)
        return {static_cast<std::uint8_t>(0x80 + a), 0xC0};
    return {static_cast<std::uint8_t>(0x80 + (a & 0x3F)),
            static_cast<std::uint8_t>(0xC0 + SHR(a, 6))};
}

EncodedValue EncodeSettingValue(int value) {
    const auto v = static_cast<std::uint8_t>(value);
    EncodedValue out;
    if (v >= 0x10 && v <= 0x7F) {
        out.bytes[0] = v;
        out.count = 1;
    } else {
        out.bytes[0] = static_cast<std::uint8_t>((v & 0xF0) / 16);
        out.bytes[1] = static_cast<std::uint8_t>(v & 0x0F);
        out.count = 2;
    }
    return out;
}

DecodedValue DecodeSettingValue(const ReplyBuffer &buffer, int position) {
    const auto at = [&buffer](int p) -> int {
        return p >= 0 && p < static_cast<int>(buffer.size()) ? buffer[p] : 0;
    };
    const int first = at(position);
    if (first < 16) {
        const int pair = first * 16 + at(position + 1);
        return {pair > 255 ? 0 : pair, position + 2};
    }
    return {first, position + 1};
}

ReplyValues DecodeReply(const QByteArray &received) {
    ReplyBuffer buffer{};
    const qsizetype copied = qMin<qsizetype>(received.size(), buffer.size());
    for (qsizetype i = 0; i < copied; ++i)
        buffer[i] = static_cast<std::uint8_t>(received[i]);

    ReplyValues values{};
    int position = 0;
    for (int &value : values) {
        const DecodedValue decoded = DecodeSettingValue(buffer, position);
        value = decoded.value;
        position = decoded.position;
    }
    return values;
}

bool IsWholeReply(const QByteArray &received) {
    qsizetype position = 0;
    for (int value = 0; value < static_cast<int>(std::tuple_size_v<ReplyValues>); ++value) {
        if (position >= received.size())
            return false;
        position += static_cast<std::uint8_t>(received[position]) < 16 ? 2 : 1;
    }
    return position <= received.size();
}

QByteArray WithoutEcho(const QByteArray &received, const std::vector<Frame> &sent) {
    const auto at = [&](qsizetype i) { return static_cast<std::uint8_t>(received[i]); };
    qsizetype start = 0;
    while (start < received.size() && at(start) >= 0x80) {
        // The frame that the bytes from here follow furthest.
        qsizetype longest = 0;
        for (const Frame &frame : sent) {
            qsizetype same = 0;
            while (start + same < received.size() && same < static_cast<qsizetype>(frame.size()) &&
                   at(start + same) == frame[static_cast<std::size_t>(same)])
                ++same;
            longest = std::max(longest, same);
        }
        if (longest == 0)
            break;
        start += longest;
    }
    return received.mid(start);
}

QByteArray WithoutEcho(const QByteArray &received, const Frame &sent) {
    return WithoutEcho(received, std::vector<Frame>{sent});
}

Polarities DecodePolarityFlags(int flags) {
    switch (flags) {
    case 0x00:
    case 0x01:
    case 0x10:
    case 0x11:
        return {(flags & 0x01) != 0, (flags & 0x10) != 0};
    default:
        return {flags != 0, flags != 0};
    }
}

int EncodePolarityFlags(Polarities polarities) {
    return (polarities.dataForward ? 0x01 : 0) + (polarities.oeForward ? 0x10 : 0);
}

ScanMode DecodeScanMode(int value) {
    return value == 1 ? ScanMode::Full : value == 3 ? ScanMode::Unnamed : ScanMode::Half;
}

namespace {

Frame envelope(int address, std::uint8_t letter, const std::vector<std::uint8_t> &payload) {
    Frame frame(payload.size() + 4);
    const AddressBytes a = EncodeAddress(address);
    frame[0] = a.low;
    frame[1] = a.high;
    frame[2] = letter;
    std::copy(payload.begin(), payload.end(), frame.begin() + 3);
    frame.back() = kTerminator;
    return frame;
}

} // namespace

Frame BuildRestartFrame(int address) {
    return envelope(address, kLetterRestart, {});
}

Frame BuildSettingsFrame(int address, const SettingsValues &values) {
    std::vector<std::uint8_t> staging;
    staging.reserve(11);
    for (int v : {values.newAddress, values.rows, values.charsPerRow, values.polarityFlags,
                  values.scanMode}) {
        const EncodedValue e = EncodeSettingValue(v);
        staging.insert(staging.end(), e.bytes.begin(), e.bytes.begin() + e.count);
    }
    return envelope(address, kLetterModifySettings, staging);
}

namespace {

// Code page 936 characters in bytes: a lead byte 0x81..0xFE takes the next byte with it; any
// other byte stands alone.
qsizetype countGbkCharacters(const QByteArray &bytes) {
    qsizetype count = 0;
    for (qsizetype i = 0; i < bytes.size(); ++count) {
        const auto b = static_cast<std::uint8_t>(bytes[i]);
        i += (b >= 0x81 && b <= 0xFE && i + 1 < bytes.size()) ? 2 : 1;
    }
    return count;
}

bool hasSurrogates(const QString &text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSurrogate(); });
}

// The bytes of a text one character at a time: ASCII as itself, a surrogate (paired or lone)
// as one '?', any other character as encodeOne gives it, or one '?' where that is empty.
template <typename EncodeOne> QByteArray perCharacter(const QString &text, EncodeOne encodeOne) {
    QByteArray bytes;
    bytes.reserve(text.size() * 2);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.unicode() < 0x80) {
            bytes.append(static_cast<char>(c.unicode()));
        } else if (c.isSurrogate()) {
            if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
                ++i;
            bytes.append('?');
        } else {
            const QByteArray one = encodeOne(QStringView(text).mid(i, 1));
            bytes.append(one.isEmpty() ? QByteArray("?") : one);
        }
    }
    return bytes;
}

// Qt's GBK encoder, there where Qt was built with ICU. The whole text goes in one call; only a
// text with surrogates, or one the encoder shortened (it drops some invisible characters
// unseen), is done again one character at a time.
class QtCodePage936 final : public CodePage936 {
  public:
    bool isValid() const override { return valid_; }
    QByteArray encode(const QString &text) const override {
        QStringEncoder whole("GBK", QStringConverter::Flag::Stateless);
        const QByteArray bytes = whole.encode(text);
        if (!hasSurrogates(text) && countGbkCharacters(bytes) == text.size())
            return bytes;
        QStringEncoder single("GBK", QStringConverter::Flag::Stateless);
        return perCharacter(text,
                            [&single](QStringView c) { return QByteArray(single.encode(c)); });
    }

  private:
    bool valid_ = QStringEncoder("GBK").isValid();
};

#ifdef Q_OS_WIN
// The system's code page 936, for a Qt without ICU. No best-fit mapping: a character the code
// page lacks comes back as the default character, which the flag gives away.
class WindowsCodePage936 final : public CodePage936 {
  public:
    bool isValid() const override { return ::IsValidCodePage(936) != 0; }
    QByteArray encode(const QString &text) const override {
        return perCharacter(text, [](QStringView c) {
            const auto unit = static_cast<wchar_t>(c.front().unicode());
            char out[2];
            BOOL usedDefault = FALSE;
            const int n = ::WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, &unit, 1, out,
                                                int(sizeof out), nullptr, &usedDefault);
            return n > 0 && !usedDefault ? QByteArray(out, n) : QByteArray();
        });
    }
};
#endif

// No conversion at all: the display-text commands refuse before they get here.
class NoCodePage936 final : public CodePage936 {
  public:
    bool isValid() const override { return false; }
    QByteArray encode(const QString &text) const override {
        return perCharacter(text, [](QStringView) { return QByteArray(); });
    }
};

} // namespace

const CodePage936 &codePage936() {
    static const CodePage936 &chosen = []() -> const CodePage936 & {
        static const QtCodePage936 qt;
        if (qt.isValid())
            return qt;
#ifdef Q_OS_WIN
        static const WindowsCodePage936 windows;
        if (windows.isValid())
            return windows;
#endif
        static const NoCodePage936 none;
        return none;
    }();
    return chosen;
}

DisplayTextPayload EncodeDisplayText(const QString &text, const CodePage936 &codePage) {
    const QByteArray bytes = codePage.encode(text);

    DisplayTextPayload out;
    out.textUnits = static_cast<qint32>(text.size());
    out.textBytes = static_cast<qint32>(bytes.size());
    out.carried.reserve(static_cast<std::size_t>(bytes.size()) * 2);
    for (const char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        if (b <= 0x7F) {
            out.carried.push_back(b);
        } else {
            out.carried.push_back(static_cast<std::uint8_t>((b & 0xF0) / 16));
            out.carried.push_back(static_cast<std::uint8_t>(b & 0x0F));
        }
    }
    // The length is what is carried, so a single byte of 0x80 or more (the euro sign) loses no
    // text, and a second byte below 0x80 leaves no stray 0x00 before the terminator.
    out.payloadLength = static_cast<qint32>(out.carried.size());
    return out;
}

DisplayTextFrame BuildDisplayTextFrame(int address, std::uint8_t letter, const QString &text,
                                       const CodePage936 &codePage) {
    const DisplayTextPayload payload = EncodeDisplayText(text, codePage);
    return {envelope(address, letter, payload.carried), payload.textBytes};
}

std::optional<int> ParseByteText(const QString &text) {
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    int value = 0;
    for (const QChar c : t) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        // Held at 256 once past the range, so a long run of digits cannot overflow.
        value = qMin(value * 10 + (c.unicode() - u'0'), 256);
    }
    if (value > 255)
        return std::nullopt;
    return value;
}

QByteArray toByteArray(const Frame &frame) {
    return QByteArray(reinterpret_cast<const char *>(frame.data()),
                      static_cast<qsizetype>(frame.size()));
}
