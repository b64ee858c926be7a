#include "serial/tcpline.h"

#include "serial/openfiles.h"
#include "serial/socketinfo.h"

#include <QEventLoop>
#include <QNetworkProxy>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <utility>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#endif

namespace {

// A connection over a mobile link may take a second or two to be answered.
constexpr std::chrono::milliseconds kConnectTimeout{5000};

// How long a close waits for the server to end its side, beyond twice the longest time an
// answer took on the connection.
constexpr qint64 kCloseWaitMs = 250;

// Beyond the line's own time for what is queued and two round trips, how long drain waits for
// the server to take it.
constexpr qint64 kDrainSlackMs = 5000;
// How long a device server may hold bytes before its serial line carries them.
constexpr qint64 kServerHoldMs = 20;
// What the connection may hold for us unread: a flooding server waits for us, not our memory.
constexpr qint64 kReadBufferBytes = 64 * 1024;
// How often a drain looks at the system's count of bytes the server has not acknowledged, which
// nothing signals as it falls.
constexpr qint64 kAcknowledgementLookMs = 5;

} // namespace

TcpLine::TcpLine(const QString &address) : address_(address) {
    // A device server sits on the local network; an application-wide proxy is not for it.
    socket_.setProxy(QNetworkProxy::NoProxy);
    socket_.setReadBufferSize(kReadBufferBytes);
    connect(&socket_, &QTcpSocket::readyRead, this, &TcpLine::onReadyRead);
    connect(&socket_, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        // The connect's own handshake is the first round trip seen; a host name's look-up
        // before it is not.
        if (state == QAbstractSocket::ConnectingState)
            connecting_.start();
        else if (state == QAbstractSocket::ConnectedState && connecting_.isValid())
            noteRoundTrip(std::chrono::microseconds(connecting_.nsecsElapsed() / 1000));
        // The negotiation starts the moment the connection is there, before anything the
        // server says first is taken in: its answers belong to the negotiation.
        if (state == QAbstractSocket::ConnectedState && state_ == State::Connecting)
            startNegotiation();
        emit activity();
    });
    connect(&socket_, &QTcpSocket::bytesWritten, this, &Line::activity);
    connect(&socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        // A wait of no time that found nothing is not a fault of the connection.
        if (e == QAbstractSocket::SocketTimeoutError)
            return;
        socketError_ = e;
        onGone();
    });
    connect(&socket_, &QTcpSocket::disconnected, this, &TcpLine::onGone);
    lookAgain_.setSingleShot(true);
    lookAgain_.setTimerType(Qt::PreciseTimer);
    connect(&lookAgain_, &QTimer::timeout, this, &Line::activity);
}

TcpLine::~TcpLine() {
    // What Qt still holds goes to the system, which sends it before the end it makes for the
    // socket closed; nothing waits here.
    state_ = State::Closed;
    if (connected())
        socket_.flush();
    socket_.abort();
}

void TcpLine::lookAgainIn(qint64 ms) {
    lookAgain_.start(std::max<qint64>(0, ms));
}

void TcpLine::lookAgainBy(qint64 ms, const QDeadlineTimer &deadline) {
    lookAgainIn(std::min(ms, deadline.remainingTime()));
}

QString TcpLine::scheme() const {
    return QStringLiteral("tcp");
}

bool TcpLine::parseAddress() {
    const QUrl url(address_, QUrl::StrictMode);
    const int port = url.port(-1);
    if (!url.isValid() || url.scheme().compare(scheme(), Qt::CaseInsensitive) != 0 ||
        url.host().isEmpty() || port < 1 || port > 65535 || !url.userInfo().isEmpty() ||
        (!url.path().isEmpty() && url.path() != u"/") || url.hasQuery() || url.hasFragment()) {
        return false;
    }
    host_ = url.host();
    port_ = static_cast<quint16>(port);
    return true;
}

void TcpLine::beginOpen(const LineSettings &settings) {
    openSettings_ = settings;
    lost_ = false;
    lookAgain_.stop();
    state_ = State::NotOpened;
    socket_.abort();
    if (!parseAddress()) {
        state_ = State::BadAddress;
        return;
    }
    lineSettings_ = settings;
    socketError_.reset();
    received_.clear();
    roundTrip_ = {};
    answerTime_ = 0;
    lastWrite_.invalidate();
    connecting_.invalidate();
    lastFrameBytes_ = lastFrameAcknowledged_ = 0;
    state_ = State::Connecting;
    connectDeadline_ = QDeadlineTimer(kConnectTimeout);
    socket_.connectToHost(host_, port_);
}

LineStep TcpLine::failOpen(const NetworkFault &fault, OpenError *error) {
    state_ = State::Closed;
    lookAgain_.stop();
    error->device = address_;
    error->kind = OpenError::Network;
    error->network = fault;
    if (fault.kind == NetworkFault::SocketError)
        error->systemMessage = socket_.errorString();
    // Qt's "Out of resources": no descriptor was left for the socket.
    if (socketError_ == QAbstractSocket::SocketResourceError) {
        error->kind = OpenError::TooManyFiles;
        error->fileLimit = OpenFilesLimit();
    }
    socket_.abort();
    return LineStep::Failed;
}

void TcpLine::startNegotiation() {
    // Frames are small and a reply is timed: nothing waits to be coalesced.
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A server that goes silent (cable pulled, power lost, a carrier's NAT mapping dropped) is
    // noticed within about half a minute, and the probes keep such a mapping alive.
    socket_.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    socketinfo::tuneDeadConnectionLimits(socket_.socketDescriptor());
    state_ = State::Negotiating;
    beginNegotiation(openSettings_);
}

LineStep TcpLine::openStep(OpenError *error) {
    error->device = address_;
    switch (state_) {
    case State::BadAddress:
        return failOpen({.kind = NetworkFault::BadAddress, .scheme = scheme()}, error);
    case State::Connecting:
        if (!connected() && !socketError_) {
            if (connectDeadline_.hasExpired())
                return failOpen(connectTimeout(), error);
            lookAgainIn(connectDeadline_.remainingTime());
            return LineStep::Pending;
        }
        if (!connected())
            return failOpen(connectionFault(), error);
        startNegotiation();
        [[fallthrough]];
    case State::Negotiating: {
        NetworkFault fault;
        const LineStep step = negotiationStep(&fault);
        if (step == LineStep::Failed)
            return failOpen(fault, error);
        if (step == LineStep::Done) {
            state_ = State::Open;
            received_.clear();
        }
        return step;
    }
    default:
        return isOpen() ? LineStep::Done : LineStep::Failed;
    }
}

void TcpLine::noteRoundTrip(std::chrono::microseconds seen) {
    roundTrip_ = std::max(roundTrip_, seen);
}

std::optional<std::chrono::milliseconds> TcpLine::roundTrip() const {
    std::chrono::microseconds longest = roundTrip_;
    if (connected())
        if (const auto system = socketinfo::roundTrip(socket_.socketDescriptor()))
            longest = std::max(longest, system->smoothed + 2 * system->variation);
    return std::chrono::ceil<std::chrono::milliseconds>(longest);
}

NetworkFault TcpLine::connectTimeout() {
    return {.kind = NetworkFault::ConnectTimeout,
            .seconds = std::chrono::duration_cast<std::chrono::seconds>(kConnectTimeout).count()};
}

NetworkFault TcpLine::connectionFault() const {
    switch (socketError_.value_or(QAbstractSocket::RemoteHostClosedError)) {
    case QAbstractSocket::ConnectionRefusedError:
        return {.kind = NetworkFault::Refused};
    case QAbstractSocket::HostNotFoundError:
        return {.kind = NetworkFault::HostNotFound};
    case QAbstractSocket::NetworkError:
        return {.kind = NetworkFault::Unreachable};
    case QAbstractSocket::SocketTimeoutError:
        return connectTimeout();
    case QAbstractSocket::RemoteHostClosedError:
        // A server that turns a connection away often says why first.
        return {.kind = NetworkFault::ClosedByServer,
                .serverSaid = QString::fromLatin1(received_.left(80)).simplified()};
    default:
        return {.kind = NetworkFault::SocketError};
    }
}

void TcpLine::beginNegotiation(const LineSettings &) {}

LineStep TcpLine::negotiationStep(NetworkFault *) {
    return LineStep::Done;
}

void TcpLine::onReadyRead() {
    // What is waiting, read at its size: the read buffer already bounds it, and a read of the
    // bound itself would allocate 64 KiB for every few bytes of a reply.
    const QByteArray bytes = socket_.readAll();
    if (bytes.isEmpty())
        return;
    // The first bytes after a frame: the longest such wait is how long the server's end of the
    // connection may take to answer, where no round trip could be measured (a raw server
    // behind a relay).
    if (lastWrite_.isValid()) {
        answerTime_ = std::max(answerTime_, lastWrite_.elapsed());
        lastWrite_.invalidate();
    }
    const qsizetype before = received_.size();
    take(bytes);
    if (received_.size() > before)
        emit received();
    emit activity();
}

void TcpLine::onGone() {
    emit activity();
    if (isOpenState() && !lost_) {
        lost_ = true;
        emit lost();
    }
}

void TcpLine::take(const QByteArray &bytes) {
    keepReceived(bytes);
}

void TcpLine::keepReceived(QByteArrayView data) {
    const qsizetype room = kReceivedLimit - received_.size();
    if (room > 0)
        received_.append(data.first(std::min(room, data.size())));
}

QByteArray TcpLine::connectionBytes(const QByteArray &data) const {
    return data;
}

bool TcpLine::send(const QByteArray &bytes) {
    if (socket_.write(bytes) != bytes.size())
        return false;
    socket_.flush();
    return true;
}

void TcpLine::abort() {
    lost_ = false;
    if (connected())
        socketinfo::resetOnClose(socket_.socketDescriptor());
    closed();
}

void TcpLine::beginClose() {
    lost_ = false;
    lookAgain_.stop();
    if (!connected()) {
        closed();
        return;
    }
    // What Qt still holds goes to the system, which sends it before the end of the stream. As
    // on a local port, a frame that takes the line a tenth of a second still goes.
    socket_.flush();
    state_ = State::CarryingLastFrame;
    carryDeadline_ = QDeadlineTimer(100 + kServerHoldMs);
}

LineStep TcpLine::closeStep() {
    switch (state_) {
    case State::CarryingLastFrame: {
        // A server may drop what its line has not carried yet when the connection ends: the
        // end waits for the line's time, plus what a server holds bytes for.
        const qint64 remaining = lineLeftMs();
        if (connected() && remaining > 0 && remaining <= 100 + kServerHoldMs &&
            !carryDeadline_.hasExpired()) {
            lookAgainBy(remaining, carryDeadline_);
            return LineStep::Pending;
        }
        if (!connected() || !endStream())
            return closed();
        // What still comes is dropped; a server that keeps sending is left when the time is up.
        const qint64 roundTripMs = roundTrip().value_or(std::chrono::milliseconds(0)).count();
        serverEndDeadline_ = QDeadlineTimer(kCloseWaitMs + 2 * std::max(roundTripMs, answerTime_));
        state_ = State::AwaitingServerEnd;
        lookAgainIn(serverEndDeadline_.remainingTime());
        return LineStep::Pending;
    }
    case State::AwaitingServerEnd:
        received_.clear();
        if (connected() && !serverEndDeadline_.hasExpired()) {
            lookAgainIn(serverEndDeadline_.remainingTime());
            return LineStep::Pending;
        }
        return closed();
    default:
        return closed();
    }
}

LineStep TcpLine::closed() {
    state_ = State::Closed;
    lookAgain_.stop();
    socket_.abort();
    received_.clear();
    return LineStep::Done;
}

bool TcpLine::endStream() {
#ifdef Q_OS_UNIX
    // Our side ends, and the server's end is awaited: a server lets its port go only after
    // ending its side, and turns away a connection that comes sooner. A socket simply closed
    // leaves the server to find out by a failed write, which takes it longer.
    return ::shutdown(static_cast<int>(socket_.socketDescriptor()), SHUT_WR) == 0;
#else
    return false;
#endif
}

bool TcpLine::isOpenState() const {
    return state_ == State::Open || state_ == State::Draining;
}

bool TcpLine::isOpen() const {
    return isOpenState() && connected();
}

bool TcpLine::applySettings(const LineSettings &settings) {
    // In raw mode the server's own settings apply.
    lineSettings_ = settings;
    return true;
}

bool TcpLine::clearReceived() {
    takeInWaiting();
    received_.clear();
    return true;
}

bool TcpLine::clearUnsent() {
    // The connection takes a whole frame at once: what is written has left this program, and
    // a raw server offers no way to take it back.
    return true;
}

bool TcpLine::write(const QByteArray &frameBytes) {
    const QByteArray onTheWire = connectionBytes(frameBytes);
    lastFrameBytes_ = onTheWire.size();
    lastFrameAcknowledged_ = 0;
    if (!send(onTheWire))
        return false;
    lastWrite_.start();
    // The server puts the bytes on its serial line after it has them, at the line's pace.
    if (!clock_.isValid())
        clock_.start();
    lineFreeAtMs_ = std::max(lineFreeAtMs_, clock_.elapsed()) + lineTimeMs(frameBytes.size()) + 1;
    return true;
}

qint64 TcpLine::lineTimeMs(qint64 bytes) const {
    return lineSettings_.timeMs(bytes);
}

void TcpLine::noteAcknowledged() {
    // The last frame is the newest on the connection: what is not acknowledged is its end.
    if (connected())
        lastFrameAcknowledged_ = std::max(
            lastFrameAcknowledged_, lastFrameBytes_ - std::min(lastFrameBytes_, unsentBytes()));
}

std::optional<qint64> TcpLine::acknowledgedOfLastFrame() const {
    return lastFrameAcknowledged_;
}

qint64 TcpLine::lineLeftMs() const {
    return clock_.isValid() ? lineFreeAtMs_ + kServerHoldMs - clock_.elapsed() : 0;
}

void TcpLine::takeInWaiting() {
#ifdef Q_OS_UNIX
    // Without this, bytes the server sent wait for the next turn of the event loop; a count
    // taken by a timer would miss them. waitForReadyRead(0) only when there is something, as
    // it reports an empty wait as an error.
    pollfd p{static_cast<int>(socket_.socketDescriptor()), POLLIN, 0};
    if (connected() && ::poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLHUP | POLLERR)))
        socket_.waitForReadyRead(0);
#endif
}

QByteArray TcpLine::readReceived() {
    return std::exchange(received_, QByteArray());
}

qint64 TcpLine::queuedBytes() const {
    return socket_.bytesToWrite();
}

qint64 TcpLine::unsentBytes() const {
    qint64 unsent = socket_.bytesToWrite();
    // The system's send queue: bytes the server has not acknowledged yet.
    if (connected())
        unsent += socketinfo::unacknowledgedBytes(socket_.socketDescriptor()).value_or(0);
    return unsent;
}

void TcpLine::beginDrain() {
    // The frame counts as gone when the server has acknowledged every byte and its serial line
    // has had the time to carry them: a server drops what it holds when the connection ends.
    const qint64 roundTripMs = roundTrip().value_or(std::chrono::milliseconds(0)).count();
    drainDeadline_ = QDeadlineTimer(lineTimeMs(unsentBytes()) + 2 * roundTripMs + kDrainSlackMs);
    if (isOpen())
        state_ = State::Draining;
}

LineStep TcpLine::drainStep() {
    // The connection is watched all the while, so a reset or an end is told at once.
    noteAcknowledged();
    if (!isOpen() || lost_)
        return LineStep::Failed;
    if (socket_.bytesToWrite() == 0 && unsentBytes() == 0 && lineLeftMs() <= 0) {
        state_ = State::Open;
        return LineStep::Done;
    }
    if (drainDeadline_.hasExpired()) {
        state_ = State::Open;
        return LineStep::Failed;
    }
    // Qt's queue says when the system took more (bytesWritten); the server's acknowledgements
    // and its line's time say nothing, and are looked at again.
    if (socket_.bytesToWrite() > 0 || unsentBytes() > 0)
        lookAgainBy(kAcknowledgementLookMs, drainDeadline_);
    else
        lookAgainBy(lineLeftMs(), drainDeadline_);
    return LineStep::Pending;
}
