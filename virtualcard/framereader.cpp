#include "virtualcard/framereader.h"

using namespace cardwire;

namespace {

bool isAddressLow(std::uint8_t b) {
    return b >= kAddressLowFirst && b <= kAddressLowLast;
}

bool isAddressHigh(std::uint8_t b) {
    return b >= kAddressHighFirst && b <= kAddressHighLast;
}

constexpr std::uint8_t kNibbleLimit = 0x10; // a settings byte below this begins a pair

} // namespace

std::vector<ReceivedFrame> FrameReader::feed(const QByteArray &bytes) {
    std::vector<ReceivedFrame> out;
    for (const char c : bytes)
        take(static_cast<std::uint8_t>(c), out);
    // Noise is reported with the chunk it came in; a frame only once it is complete.
    if (state_ == State::Idle)
        flushNoise(out);
    return out;
}

void FrameReader::flushNoise(std::vector<ReceivedFrame> &out) {
    if (noise_.isEmpty())
        return;
    ReceivedFrame noise;
    noise.kind = ReceivedFrame::Kind::Noise;
    noise.raw = noise_;
    noise_.clear();
    out.push_back(std::move(noise));
}

void FrameReader::finish(ReceivedFrame::Kind kind, std::vector<ReceivedFrame> &out) {
    frame_.kind = kind;
    out.push_back(std::move(frame_));
    frame_ = ReceivedFrame();
    state_ = State::Idle;
}

void FrameReader::breakFrame(const QString &problem, std::vector<ReceivedFrame> &out) {
    frame_.problem = problem;
    finish(ReceivedFrame::Kind::Broken, out);
}

void FrameReader::take(std::uint8_t b, std::vector<ReceivedFrame> &out) {
    if (isAddressLow(b)) {
        beginFrame(b, out);
        return;
    }
    if (state_ == State::Idle) {
        noise_.append(static_cast<char>(b));
        return;
    }
    frame_.raw.append(static_cast<char>(b));
    if (state_ == State::AddressHigh) {
        takeAddressHigh(b, out);
        return;
    }
    if (b & 0x80) {
        breakFrame(QStringLiteral("a byte with bit 7 set after the address"), out);
        return;
    }

    switch (state_) {
    case State::Letter:
        takeLetter(b, out);
        return;
    case State::RestartEnd:
        takeRestartEnd(b, out);
        return;
    case State::Settings:
        takeSettingsByte(b, out);
        return;
    case State::Text:
        takeTextByte(b, out);
        return;
    case State::SkipUnknown:
        if (b == kTerminator)
            finish(ReceivedFrame::Kind::UnknownLetter, out);
        return;
    case State::Idle:
    case State::AddressHigh:
        return; // handled above
    }
}

void FrameReader::beginFrame(std::uint8_t addressLow, std::vector<ReceivedFrame> &out) {
    if (state_ != State::Idle)
        breakFrame(QStringLiteral("a new frame began before the terminator"), out);
    flushNoise(out);
    frame_ = ReceivedFrame();
    frame_.raw.append(static_cast<char>(addressLow));
    frame_.address = addressLow & 0x3F;
    state_ = State::AddressHigh;
}

void FrameReader::takeAddressHigh(std::uint8_t b, std::vector<ReceivedFrame> &out) {
    if (!isAddressHigh(b)) {
        frame_.address = -1;
        breakFrame(QStringLiteral("address byte 1 missing"), out);
        return;
    }
    frame_.address |= (b & 0x03) << 6;
    state_ = State::Letter;
}

void FrameReader::takeLetter(std::uint8_t b, std::vector<ReceivedFrame> &out) {
    frame_.letter = b;
    switch (b) {
    case kLetterRestart:
        state_ = State::RestartEnd;
        break;
    case kLetterModifySettings:
        state_ = State::Settings;
        valueCount_ = 0;
        pendingHigh_ = -1;
        break;
    case kLetterInitialText:
    case kLetterDisplayText:
        state_ = State::Text;
        break;
    case kTerminator:
        breakFrame(QStringLiteral("no command letter"), out);
        break;
    default:
        state_ = State::SkipUnknown;
        break;
    }
}

void FrameReader::takeRestartEnd(std::uint8_t b, std::vector<ReceivedFrame> &out) {
    if (b == kTerminator)
        finish(ReceivedFrame::Kind::Restart, out);
    else
        breakFrame(QStringLiteral("restart frame goes on after the letter"), out);
}

void FrameReader::takeSettingsByte(std::uint8_t b, std::vector<ReceivedFrame> &out) {
    if (valueCount_ == kSettingsValues) {
        if (b == kTerminator)
            finish(ReceivedFrame::Kind::ModifySettings, out);
        else
            breakFrame(QStringLiteral("settings frame goes on after five values"), out);
        return;
    }
    if (pendingHigh_ >= 0) {
        if (b >= kNibbleLimit) {
            breakFrame(QStringLiteral("second byte of a value pair is not a nibble"), out);
            return;
        }
        frame_.values[static_cast<std::size_t>(valueCount_++)] = pendingHigh_ * 16 + b;
        pendingHigh_ = -1;
    } else if (b < kNibbleLimit) {
        pendingHigh_ = b;
    } else {
        frame_.values[static_cast<std::size_t>(valueCount_++)] = b;
    }
}

void FrameReader::takeTextByte(std::uint8_t b, std::vector<ReceivedFrame> &out) {
    if (b != kTerminator) {
        frame_.carried.append(static_cast<char>(b));
        return;
    }
    finish(frame_.letter == kLetterInitialText ? ReceivedFrame::Kind::InitialText
                                               : ReceivedFrame::Kind::DisplayText,
           out);
}
