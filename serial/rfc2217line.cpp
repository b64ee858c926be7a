#include "serial/rfc2217line.h"

#include <QElapsedTimer>
#include <QtEndian>

#include <algorithm>
#include <cmath>

#include <chrono>

namespace {

// The server's answers are awaited this long beyond twice the longest round trip seen so far
// (the connect, the first answer), and never longer than kNegotiationLimit in all.
constexpr std::chrono::milliseconds kAnswerWait{3000};
constexpr std::chrono::milliseconds kNegotiationLimit{15000};

quint8 parityCode(LineSettings::Parity parity) {
    switch (parity) {
    case LineSettings::Parity::None:
        return 1;
    case LineSettings::Parity::Odd:
        return 2;
    case LineSettings::Parity::Even:
        return 3;
    case LineSettings::Parity::Mark:
        return 4;
    case LineSettings::Parity::Space:
        return 5;
    }
    return 1;
}

quint8 stopCode(LineSettings::StopBits stopBits) {
    switch (stopBits) {
    case LineSettings::StopBits::One:
        return 1;
    case LineSettings::StopBits::Two:
        return 2;
    case LineSettings::StopBits::OneAndHalf:
        return 3;
    }
    return 1;
}

struct Setting {
    quint8 command;
    QByteArray value;
    LineSetting which;
};

// The four settings in the order they are sent.
std::array<Setting, 4> settingsOf(const LineSettings &s) {
    QByteArray baud(4, '\0');
    qToBigEndian(static_cast<quint32>(s.baud), baud.data());
    return {{
        {TelnetCodec::kSetBaudRate, baud, LineSetting::BaudRate},
        {TelnetCodec::kSetDataSize, QByteArray(1, static_cast<char>(s.dataBits)),
         LineSetting::DataBits},
        {TelnetCodec::kSetParity, QByteArray(1, static_cast<char>(parityCode(s.parity))),
         LineSetting::Parity},
        {TelnetCodec::kSetStopSize, QByteArray(1, static_cast<char>(stopCode(s.stopBits))),
         LineSetting::StopBits},
    }};
}

QString valueText(const QByteArray &value) {
    if (value.size() == 4)
        return QString::number(qFromBigEndian<quint32>(value.constData()));
    if (value.size() == 1)
        return QString::number(static_cast<quint8>(value[0]));
    return QString::fromLatin1(value.toHex(' '));
}

} // namespace

Rfc2217Line::Rfc2217Line(const QString &address) : TcpLine(address) {}

QString Rfc2217Line::scheme() const {
    return QStringLiteral("rfc2217");
}

void Rfc2217Line::beginNegotiation(const LineSettings &settings) {
    codec_ = TelnetCodec();
    comPortTaken_.reset();
    answers_.clear();
    negotiated_ = settings;
    // Everything goes out at once and the answers are awaited together: over a slow link the
    // open takes one round trip, not one for each request.
    QByteArray requests = codec_.start();
    for (const Setting &s : settingsOf(settings))
        requests += TelnetCodec::comPort(s.command, s.value);
    requestsSent_.start();
    // take() notes the round trip at the first answer to a setting.
    firstAnswer_ = requestsSent_;
    requestsFailed_ = !send(requests);
}

LineStep Rfc2217Line::negotiationStep(NetworkFault *fault) {
    const auto fail = [fault](const NetworkFault &found) {
        *fault = found;
        return LineStep::Failed;
    };
    if (requestsFailed_)
        return fail(connectionFault());
    const std::array<Setting, 4> wanted = settingsOf(negotiated_);
    const auto answered = [&](const Setting &s) {
        return answers_.count(s.command + TelnetCodec::kServerOffset) > 0;
    };
    const auto allAnswered = [&] { return std::all_of(wanted.begin(), wanted.end(), answered); };
    // The time allowed grows with each round trip seen.
    const auto roundTrip = this->roundTrip().value_or(std::chrono::milliseconds(0));
    const qint64 allowedMs = std::min(kAnswerWait + 2 * roundTrip, kNegotiationLimit).count();
    const bool settled = !connected() || (comPortTaken_ && (!*comPortTaken_ || allAnswered())) ||
                         requestsSent_.elapsed() >= allowedMs;
    if (!settled) {
        // The answers come with activity of their own; the time allowed runs out without.
        lookAgainIn(allowedMs - requestsSent_.elapsed());
        return LineStep::Pending;
    }
    if (!connected())
        return fail(connectionFault());
    // The time allowed, in whole seconds: it ends the wait unless the connection did.
    const qint64 waited = std::lround(static_cast<double>(allowedMs) / 1000);
    if (!comPortTaken_)
        return fail({.kind = NetworkFault::NoNegotiation, .seconds = waited});
    if (!*comPortTaken_)
        return fail({.kind = NetworkFault::NotRfc2217});
    // In the order sent, so a refusal or a silence names the first setting concerned.
    for (const Setting &s : wanted) {
        if (!answered(s))
            return fail(
                {.kind = NetworkFault::NotConfirmed, .seconds = waited, .setting = s.which});
        const QByteArray &answer = answers_[s.command + TelnetCodec::kServerOffset];
        if (answer != s.value)
            return fail({.kind = NetworkFault::NotAccepted,
                         .setting = s.which,
                         .requested = valueText(s.value),
                         .answered = valueText(answer)});
    }
    // As a local port is emptied both ways when it opens.
    return purge(TelnetCodec::kPurgeBoth) ? LineStep::Done : LineStep::Failed;
}

void Rfc2217Line::take(const QByteArray &bytes) {
    TelnetCodec::Decoded decoded = codec_.decode(bytes);
    keepReceived(decoded.data);
    if (!decoded.replies.isEmpty())
        send(decoded.replies);
    for (const TelnetCodec::Event &e : decoded.events) {
        if (e.kind == TelnetCodec::Event::ComPort) {
            answers_[e.command] = e.value;
            // The first answer to a setting is a round trip; the server's own opening, which
            // may come before, is not an answer.
            if (firstAnswer_.isValid()) {
                noteRoundTrip(std::chrono::microseconds(firstAnswer_.nsecsElapsed() / 1000));
                firstAnswer_.invalidate();
            }
        } else if (e.option == TelnetCodec::kComPortOption && e.local)
            comPortTaken_ = e.kind == TelnetCodec::Event::Enabled;
    }
}

QByteArray Rfc2217Line::connectionBytes(const QByteArray &data) const {
    return codec_.encode(data);
}

bool Rfc2217Line::purge(quint8 what) {
    return send(
        TelnetCodec::comPort(TelnetCodec::kPurgeData, QByteArray(1, static_cast<char>(what))));
}

bool Rfc2217Line::applySettings(const LineSettings &settings) {
    TcpLine::applySettings(settings);
    if (!isOpen())
        return true;
    // While open the settings go out unconfirmed: nothing waits on the event loop here.
    bool sent = true;
    for (const Setting &s : settingsOf(settings))
        sent = send(TelnetCodec::comPort(s.command, s.value)) && sent;
    return sent;
}

bool Rfc2217Line::clearReceived() {
    // Not waited for: some servers never answer a purge.
    return TcpLine::clearReceived() && purge(TelnetCodec::kPurgeReceive);
}

bool Rfc2217Line::clearUnsent() {
    return TcpLine::clearUnsent() && purge(TelnetCodec::kPurgeTransmit);
}
