#include "serial/telnetcodec.h"

namespace {

// What we take on: our own side's options, and the server's.
bool weOffer(quint8 option) {
    return option == TelnetCodec::kBinary || option == TelnetCodec::kSuppressGoAhead ||
           option == TelnetCodec::kComPortOption;
}

bool weAccept(quint8 option) {
    return option == TelnetCodec::kBinary || option == TelnetCodec::kSuppressGoAhead;
}

void appendCommand(QByteArray &to, quint8 verb, quint8 option) {
    to.append(static_cast<char>(TelnetCodec::kIac));
    to.append(static_cast<char>(verb));
    to.append(static_cast<char>(option));
}

// Answers kept to a subnegotiation: a server sending more is not worth the memory.
constexpr qsizetype kMaxSubnegotiation = 256;

} // namespace

QByteArray TelnetCodec::start() {
    QByteArray out;
    appendCommand(out, kWill, kComPortOption);
    us_[kComPortOption] = Side::WantYes;
    for (const quint8 option : {kBinary, kSuppressGoAhead}) {
        appendCommand(out, kWill, option);
        appendCommand(out, kDo, option);
        us_[option] = Side::WantYes;
        him_[option] = Side::WantYes;
    }
    return out;
}

bool TelnetCodec::enabled(quint8 option, bool local) const {
    return (local ? us_ : him_)[option] == Side::Yes;
}

// A request is answered only when it changes something, and an answer to our own request is
// not answered again, so neither side loops.
void TelnetCodec::negotiate(quint8 verb, quint8 option, Decoded &out) {
    const bool local = verb == kDo || verb == kDont;
    const bool on = verb == kDo || verb == kWill;
    Side &side = (local ? us_ : him_)[option];
    const bool taken = local ? weOffer(option) : weAccept(option);
    const quint8 yes = local ? kWill : kDo;
    const quint8 no = local ? kWont : kDont;
    if (on) {
        if (!taken) {
            appendCommand(out.replies, no, option);
            return;
        }
        if (side == Side::Yes)
            return;
        if (side == Side::No)
            appendCommand(out.replies, yes, option);
        side = Side::Yes;
        out.events.push_back({Event::Enabled, option, local, 0, {}});
        return;
    }
    if (side == Side::No)
        return;
    if (side == Side::Yes)
        appendCommand(out.replies, no, option);
    side = Side::No;
    out.events.push_back({Event::Refused, option, local, 0, {}});
}

void TelnetCodec::endSubnegotiation(Decoded &out) {
    state_ = State::Data;
    if (sbOption_ != kComPortOption || sb_.isEmpty())
        return;
    const auto command = static_cast<quint8>(sb_[0]);
    // Line and modem state come unasked; nothing here acts on them.
    if (command < kServerOffset || command == kServerOffset + kNotifyLineState ||
        command == kServerOffset + kNotifyModemState)
        return;
    out.events.push_back({Event::ComPort, kComPortOption, false, command, sb_.mid(1)});
}

void TelnetCodec::afterIac(quint8 b, Decoded &out) {
    state_ = State::Data;
    if (b == kIac) {
        out.data.append(static_cast<char>(b));
        afterCr_ = false;
    } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
        verb_ = b;
        state_ = State::Verb;
    } else if (b == kSb) {
        state_ = State::SbOption;
    }
    // NOP, GA, DM and the other bare commands carry nothing for a serial line.
}

TelnetCodec::Decoded TelnetCodec::decode(QByteArrayView bytes) {
    Decoded out;
    for (const char c : bytes) {
        const auto b = static_cast<quint8>(c);
        switch (state_) {
        case State::Data:
            if (b == kIac) {
                state_ = State::Iac;
                break;
            }
            // Outside binary a CR comes with a NUL that is not data.
            if (afterCr_ && b == kNul && him_[kBinary] != Side::Yes) {
                afterCr_ = false;
                break;
            }
            afterCr_ = b == kCr;
            out.data.append(c);
            break;
        case State::Iac:
            afterIac(b, out);
            break;
        case State::Verb:
            negotiate(verb_, b, out);
            state_ = State::Data;
            break;
        case State::SbOption:
            sbOption_ = b;
            sb_.clear();
            state_ = State::SbData;
            break;
        case State::SbData:
            if (b == kIac)
                state_ = State::SbIac;
            else if (sb_.size() < kMaxSubnegotiation)
                sb_.append(c);
            break;
        case State::SbIac:
            if (b == kIac) {
                if (sb_.size() < kMaxSubnegotiation)
                    sb_.append(c);
                state_ = State::SbData;
            } else if (b == kSe) {
                endSubnegotiation(out);
            } else {
                // A command inside an unterminated subnegotiation ends it.
                endSubnegotiation(out);
                afterIac(b, out);
            }
            break;
        }
    }
    return out;
}

QByteArray TelnetCodec::encode(QByteArrayView data) const {
    QByteArray out;
    out.reserve(data.size() + data.size() / 16 + 4);
    const bool binary = us_[kBinary] == Side::Yes;
    for (const char c : data) {
        const auto b = static_cast<quint8>(c);
        out.append(c);
        if (b == kIac)
            out.append(c);
        else if (b == kCr && !binary)
            out.append(static_cast<char>(kNul));
    }
    return out;
}

QByteArray TelnetCodec::comPort(quint8 command, QByteArrayView value) {
    QByteArray out;
    out.append(static_cast<char>(kIac));
    out.append(static_cast<char>(kSb));
    out.append(static_cast<char>(kComPortOption));
    out.append(static_cast<char>(command));
    for (const char c : value) {
        out.append(c);
        if (static_cast<quint8>(c) == kIac)
            out.append(c);
    }
    out.append(static_cast<char>(kIac));
    out.append(static_cast<char>(kSe));
    return out;
}
