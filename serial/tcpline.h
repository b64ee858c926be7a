#pragma once

#include "serial/line.h"

#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <optional>

// A serial device server in raw mode, "tcp://HOST:PORT": the connection carries the line's
// bytes and nothing else; the server's own port settings apply. Also the base of the
// RFC 2217 line, which frames the same connection.
class TcpLine : public Line {
    Q_OBJECT
  public:
    explicit TcpLine(const QString &address);
    ~TcpLine() override;

    void abort() override;
    bool isOpen() const override;
    bool applySettings(const LineSettings &settings) override;
    bool clearReceived() override;
    bool clearUnsent() override;
    bool write(const QByteArray &frame) override;
    void takeInWaiting() override;
    QByteArray readReceived() override;
    qint64 queuedBytes() const override;
    qint64 unsentBytes() const override;
    std::optional<std::chrono::milliseconds> roundTrip() const override;
    std::optional<qint64> acknowledgedOfLastFrame() const override;

    void beginOpen(const LineSettings &settings) override;
    LineStep openStep(OpenError *error) override;
    void beginDrain() override;
    LineStep drainStep() override;
    void beginClose() override;
    LineStep closeStep() override;

  protected:
    // The scheme this line takes ("tcp").
    virtual QString scheme() const;
    // After connecting, before the line counts as open: settle the line with the server, in
    // steps as the open. On Failed, *fault says why.
    virtual void beginNegotiation(const LineSettings &settings);
    virtual LineStep negotiationStep(NetworkFault *fault);
    // Bytes from the connection; the data among them goes to received().
    virtual void take(const QByteArray &bytes);
    // Data bytes as they go on the connection.
    virtual QByteArray connectionBytes(const QByteArray &data) const;

    // A pending step whose next move no signal tells: activity() comes after ms.
    void lookAgainIn(qint64 ms);
    // Sends protocol bytes at once.
    bool send(const QByteArray &bytes);
    // What the connection's state says went wrong, for an open that stopped.
    NetworkFault connectionFault() const;
    bool connected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
    // A round trip seen on the connection (the connect, a server's answer); the line's round
    // trip is the longest seen, or the system's estimate when that is longer.
    void noteRoundTrip(std::chrono::microseconds seen);
    // Keeps data bytes for readReceived, up to kReceivedLimit: a server that floods the line
    // cannot grow this program's memory while nobody reads.
    void keepReceived(QByteArrayView data);

    static constexpr qsizetype kReceivedLimit = 4096;
    QByteArray received_; // data bytes not yet read

  private:
    // Where the connection stands. A line not yet opened and one closed differ: the first has
    // never had a connection, the second let go of one.
    enum class State {
        NotOpened,
        BadAddress,        // the address is not one this line takes; the open fails at its step
        Connecting,        // until connectDeadline_
        Negotiating,       // the subclass's negotiation keeps its own time
        Open,              // data moves
        Draining,          // open, waiting for the server to carry what was written
        CarryingLastFrame, // closing: the server's line carries the last frame, until
                           // carryDeadline_
        AwaitingServerEnd, // closing: our end sent, the server's awaited until serverEndDeadline_
        Closed,
    };
    bool isOpenState() const;
    LineStep failOpen(const NetworkFault &fault, OpenError *error);
    void startNegotiation();
    LineStep closed();
    void onReadyRead();
    void onGone();
    // Ends our side of the stream, where the system allows it; false when it did not.
    bool endStream();
    // How long the server's serial line still needs for what was written, and what a server
    // holds bytes for.
    qint64 lineLeftMs() const;
    qint64 lineTimeMs(qint64 bytes) const;
    // lookAgainIn, no later than the deadline.
    void lookAgainBy(qint64 ms, const QDeadlineTimer &deadline);
    void noteAcknowledged();
    bool parseAddress();
    static NetworkFault connectTimeout();

    QString address_;
    QString host_;
    quint16 port_ = 0;
    QTcpSocket socket_;
    std::optional<QAbstractSocket::SocketError> socketError_;
    LineSettings lineSettings_;
    // When the server's serial line has carried the frames written so far, on clock_.
    QElapsedTimer clock_;
    qint64 lineFreeAtMs_ = 0;
    QElapsedTimer connecting_; // from the connect request to the connection
    std::chrono::microseconds roundTrip_{0};
    QElapsedTimer lastWrite_;          // since the last frame, until bytes came in after it
    qint64 answerTime_ = 0;            // the longest time from a frame to the bytes after it, ms
    qint64 lastFrameBytes_ = 0;        // the last frame's bytes on the connection
    qint64 lastFrameAcknowledged_ = 0; // of them, acknowledged when last looked at
    bool lost_ = false;
    State state_ = State::NotOpened;
    LineSettings openSettings_;
    QDeadlineTimer connectDeadline_;
    QDeadlineTimer drainDeadline_;
    QDeadlineTimer carryDeadline_;
    QDeadlineTimer serverEndDeadline_;
    QTimer lookAgain_; // the next look at a step no signal moves on
};
