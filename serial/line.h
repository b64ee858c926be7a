#pragma once

#include "serial/linesettings.h"
#include "serial/openerror.h"

#include <QByteArray>
#include <QObject>

#include <chrono>
#include <memory>
#include <optional>

// What a port string names: a device of this machine, or a device server on the network in raw
// mode ("tcp://HOST:PORT") or in RFC 2217 mode ("rfc2217://HOST:PORT"). The scheme is read in any
// case; any other string with "://" is taken for a raw line, which names the form it takes when
// it does not open.
enum class LineKind { Local, Tcp, Rfc2217 };
LineKind KindOfPort(const QString &port);

// How far an open, a drain or a close begun in steps has come.
enum class LineStep { Pending, Done, Failed };

// One line under the serial control: a local serial device or a device server on the network.
// The control keeps the received bytes and the properties; a line only moves bytes and says
// when it is gone. Nothing here blocks for long except open, drain and close, which may wait
// up to a few seconds for a server. A program that drives many lines from one event loop uses
// their forms in steps instead: begin, then ask for the step after each turn of the loop, until
// it is no longer pending; nothing in those waits.
class Line : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    // The line for a device string: "tcp://HOST:PORT", "rfc2217://HOST:PORT", or a device path
    // (COMn on Windows).
    static std::unique_ptr<Line> create(const QString &device);

    // Opens with the settings; on failure fills *error (kind, device, reason) and stays closed.
    virtual bool open(const LineSettings &settings, OpenError *error) = 0;
    // Lets go of the line; what is still queued goes or is dropped as the line's kind allows.
    virtual void close() = 0;
    // Lets go at once, as for Ctrl+C: what waits to be sent is dropped and a connection reset.
    virtual void abort() {
        clearUnsent();
        close();
    }
    virtual bool isOpen() const = 0;
    // New settings while open.
    virtual bool applySettings(const LineSettings &settings) = 0;

    // Drop what was received and not yet read, and what was written and not yet sent.
    virtual bool clearReceived() = 0;
    virtual bool clearUnsent() = 0;
    // Queues one whole frame; on an idle line a short one is handed to the system before this
    // returns.
    virtual bool write(const QByteArray &frame) = 0;

    // Takes in what the system already holds for the line, without waiting (received() may
    // come from inside).
    virtual void takeInWaiting() = 0;
    // Removes and returns the data bytes taken in so far.
    virtual QByteArray readReceived() = 0;

    // Bytes written and still queued in this program, and those plus the system's queue.
    virtual qint64 queuedBytes() const = 0;
    virtual qint64 unsentBytes() const = 0;
    // Hands queued bytes to the system, waiting at most timeoutMs for it to take some.
    virtual bool waitForBytesWritten(int timeoutMs) = 0;
    // Waits until the system holds nothing more to send.
    virtual bool drain() = 0;

    // Open, drain and close in steps. A local line opens and closes at once; its drain waits
    // only for a driver that has nothing left to send. On Failed, *error says why as open's.
    virtual void beginOpen(const LineSettings &settings);
    virtual LineStep openStep(OpenError *error);
    virtual void beginDrain() {}
    virtual LineStep drainStep();
    virtual void beginClose() { close(); }
    virtual LineStep closeStep() { return LineStep::Done; }

    // How long an answer spends on the way back beyond the device's own time: nothing on a
    // local line.
    virtual std::optional<std::chrono::milliseconds> roundTrip() const { return std::nullopt; }
    // Of the last frame written, the bytes the far end acknowledged, where the line can tell
    // (also after it went away).
    virtual std::optional<qint64> acknowledgedOfLastFrame() const { return std::nullopt; }

  private:
    LineSettings openSettings_;

  signals:
    // Data bytes arrived; readReceived() has them.
    void received();
    // The device or the connection went away; the line must be closed.
    void lost();
    // Something happened on the line (a connection made, bytes in or out, an end) that may
    // move a step on: a program driving steps looks again now rather than at its next turn.
    void activity();
};
