#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

// The card's side of the line reads the frames on its own, from the bytes as they travel, so
// that it checks the tool's encoders instead of sharing them.
namespace cardwire {
inline constexpr std::uint8_t kAddressLowFirst = 0x80; // address byte 0: 0x80..0xBF
inline constexpr std::uint8_t kAddressLowLast = 0xBF;
inline constexpr std::uint8_t kAddressHighFirst = 0xC0; // address byte 1: 0xC0..0xC3
inline constexpr std::uint8_t kAddressHighLast = 0xC3;
inline constexpr std::uint8_t kLetterModifySettings = 0x41; // 'A'
inline constexpr std::uint8_t kLetterRestart = 0x58;        // 'X'
inline constexpr std::uint8_t kLetterInitialText = 0x53;    // 'S'
inline constexpr std::uint8_t kLetterDisplayText = 0x44;    // 'D'
inline constexpr std::uint8_t kTerminator = 0x1A;
inline constexpr int kBroadcast = 0;
inline constexpr int kSettingsValues = 5;
} // namespace cardwire

// One piece of what arrived on the line: a whole frame, or bytes that are none.
struct ReceivedFrame {
    enum class Kind {
        Restart,        // X
        ModifySettings, // A with five values
        InitialText,    // S
        DisplayText,    // D
        UnknownLetter,  // a well-framed command the card does not know
        Broken,         // a frame cut short, malformed or interrupted by a new frame
        Noise,          // bytes outside any frame
    };
    Kind kind = Kind::Noise;
    QByteArray raw;   // every byte taken for it, in the order received
    int address = -1; // 0..255; -1 when the address bytes were not both received
    std::uint8_t letter = 0;
    std::array<int, cardwire::kSettingsValues> values{}; // ModifySettings, in wire order
    QByteArray carried; // InitialText, DisplayText: the bytes between letter and terminator
    QString problem;    // Broken: what was wrong
};

// Finds frames in the byte stream. A frame begins with address byte 0 (0x80..0xBF) followed
// at once by address byte 1 (0xC0..0xC3), the only bytes with bit 7 set, then the letter:
// - X ends with the terminator right after the letter;
// - A carries five values, each a byte 16..127 alone or a pair of nibbles (a byte below 16
//   begins a pair), and then the terminator; a value may itself be 0x1A (address 26);
// - S and D end at the first 0x1A. Nibble bytes are never 0x1A, but a text byte 0x1A travels
//   unchanged, so a text that contains it ends early and its rest counts as noise;
// - any other letter is skipped up to the next 0x1A.
// An address byte 0 inside a frame ends it as broken and starts the next one, so a frame cut
// short never costs the frame after it.
class FrameReader {
  public:
    std::vector<ReceivedFrame> feed(const QByteArray &bytes);

  private:
    enum class State { Idle, AddressHigh, Letter, RestartEnd, Settings, Text, SkipUnknown };

    // One byte, handed to the part that reads the frame's present stretch.
    void take(std::uint8_t b, std::vector<ReceivedFrame> &out);
    void beginFrame(std::uint8_t addressLow, std::vector<ReceivedFrame> &out);
    void takeAddressHigh(std::uint8_t b, std::vector<ReceivedFrame> &out);
    void takeLetter(std::uint8_t b, std::vector<ReceivedFrame> &out);
    void takeRestartEnd(std::uint8_t b, std::vector<ReceivedFrame> &out);
    void takeSettingsByte(std::uint8_t b, std::vector<ReceivedFrame> &out);
    void takeTextByte(std::uint8_t b, std::vector<ReceivedFrame> &out);
    void finish(ReceivedFrame::Kind kind, std::vector<ReceivedFrame> &out);
    void breakFrame(const QString &problem, std::vector<ReceivedFrame> &out);
    void flushNoise(std::vector<ReceivedFrame> &out);

    State state_ = State::Idle;
    ReceivedFrame frame_;
    QByteArray noise_;
    int valueCount_ = 0;
    int pendingHigh_ = -1; // first byte of a value pair, -1 when none is open
};
