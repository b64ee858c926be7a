#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// A frame as it goes to the card: two address bytes, the command letter, the payload and the
// terminator, index 0 first. No length field, no checksum. Only the two address bytes have
// bit 7 set; every other byte is 0x7F or less.
using Frame = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kLetterModifySettings = 0x41; // 'A'
inline constexpr std::uint8_t kLetterRestart = 0x58;        // 'X'
inline constexpr std::uint8_t kLetterInitialText = 0x53;    // 'S'
inline constexpr std::uint8_t kLetterDisplayText = 0x44;    // 'D'
inline constexpr std::uint8_t kTerminator = 0x1A;

inline constexpr int kAddressBroadcast = 0;
// The longest frame the tool writes, in bytes: the card's write position is a signed 16-bit
// count, so nothing past it could be placed.
inline constexpr qsizetype kMaxFrameLength = 32767;

// OPR shifted right by n bits, one bit at a time; n of 0 or less leaves OPR, 8 or more gives 0.
std::uint8_t SHR(std::uint8_t OPR, std::int16_t n);

struct AddressBytes {
    std::uint8_t low;  // 0x80 + bits 5..0 of the address: 0x80..0xBF
    std::uint8_t high; // 0xC0 + bits 7..6 of the address: 0xC0..0xC3
};

// address must be 0..255.
AddressBytes EncodeAddress(int address);

// One settings value 0..255 as it travels: 16..127 as one byte, any other value as its high
// nibble followed by its low nibble.
struct EncodedValue {
    std::array<std::uint8_t, 2> bytes{};
    int count = 0;
};
EncodedValue EncodeSettingValue(int value);

// The reply buffer of the reply reader: the first 11 bytes received, the rest dropped.
using ReplyBuffer = std::array<std::uint8_t, 11>;

struct DecodedValue {
    int value = 0;    // 0..255; a pair above 255 gives 0
    int position = 0; // where the next value begins
};
// Reads one value at position (0..9): a byte below 16 starts a pair, any other stands alone.
DecodedValue DecodeSettingValue(const ReplyBuffer &buffer, int position);

// The five values of the modify-settings frame, in the order they travel.
struct SettingsValues {
    int newAddress = 1;
    int rows = 1;
    int charsPerRow = 4;
    int polarityFlags = 0; // bit 0 data polarity forward, bit 4 OE polarity forward
    int scanMode = 0;      // 0 half screen, 1 full screen
};

// The two polarities in the flags value of a reply. The card reports the flags as the settings
// frame wrote them (bit 0 data forward, bit 4 OE forward); those four values are read bit by
// bit, so a read-back followed by a change of settings gives the card back what it had. Any
// other non-zero value shows both forward, zero both reverse.
struct Polarities {
    bool dataForward = false;
    bool oeForward = false;
};
Polarities DecodePolarityFlags(int flags);
// The flags value the settings frame writes for two polarities.
int EncodePolarityFlags(Polarities polarities);

// The scan mode of a reply: 1 full screen, 3 a mode the tool has no name for, any other value
// half screen.
enum class ScanMode { Half, Full, Unnamed };
ScanMode DecodeScanMode(int value);

// The card's settings as it reports them after a restart: address, rows, characters per row,
// polarity flags and scan mode, each 0..255.
using ReplyValues = std::array<int, 5>;

// Decodes the reply from the bytes received: missing positions read as 0, bytes beyond the
// eleventh are dropped.
ReplyValues DecodeReply(const QByteArray &received);

// Whether the bytes hold all five values of a reply (5 to 10 bytes, as the first byte of each
// value tells).
bool IsWholeReply(const QByteArray &received);

// The bytes received after frames were written, without the frames' own bytes in front: an
// adapter whose receiver hears its transmitter (two-wire RS-485) hands every frame back, and the
// echo of one written earlier may still come in after the input was emptied. Every frame of
// `sent` that the bytes begin with is taken off, in any order, and so is a frame's beginning
// (the rest of its echo not in yet, or lost). An echo begins with an address byte
// of 0x80 or more and the card encodes every reply byte below 0x80, so a reply is never taken
// for an echo.
QByteArray WithoutEcho(const QByteArray &received, const std::vector<Frame> &sent);
QByteArray WithoutEcho(const QByteArray &received, const Frame &sent);

Frame BuildRestartFrame(int address);
Frame BuildSettingsFrame(int address, const SettingsValues &values);

// The conversion of a text to code page 936 (GBK) bytes, one character for one character:
// a character the code page lacks, one outside the Basic Multilingual Plane and a lone
// surrogate each become exactly one '?'.
class CodePage936 {
  public:
    virtual ~CodePage936() = default;
    // False where there is no conversion to the code page; encode must not be used then.
    virtual bool isValid() const = 0;
    virtual QByteArray encode(const QString &text) const = 0;
};

// This machine's conversion: Qt's own where Qt has one (a build with ICU), otherwise the
// system's (Windows: code page 936); one that is not valid where neither exists.
const CodePage936 &codePage936();

// A display text turned into what the frame carries: code page 936 bytes, each byte of 0x80
// or more split into its high and its low nibble. codePage must be valid.
struct DisplayTextPayload {
    std::vector<std::uint8_t> carried;
    qint32 textUnits = 0;     // UTF-16 code units of the text
    qint32 textBytes = 0;     // code page 936 bytes of the text; what the button caption reports
    qint32 payloadLength = 0; // carried bytes: the payload length
};
DisplayTextPayload EncodeDisplayText(const QString &text,
                                     const CodePage936 &codePage = codePage936());

// The display-text frame: address bytes, letter, carried bytes, terminator. Its length is
// payloadLength + 4 and may exceed kMaxFrameLength; the caller refuses such a frame.
struct DisplayTextFrame {
    Frame frame;
    qint32 textBytes = 0;
    bool tooLong() const { return static_cast<qsizetype>(frame.size()) > kMaxFrameLength; }
};
DisplayTextFrame BuildDisplayTextFrame(int address, std::uint8_t letter, const QString &text,
                                       const CodePage936 &codePage = codePage936());

// A number typed into a list: a whole decimal number 0..255, blanks around it allowed.
std::optional<int> ParseByteText(const QString &text);

QByteArray toByteArray(const Frame &frame);
