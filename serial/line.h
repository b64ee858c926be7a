#pragma once

#include "serial/linesettings.h"
#include "serial/openerror.h"

#include <QByteArray>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// What a port string names: a device of this machine, or a device server on the network in raw
// mode ("tcp://HOST:PORT") or in RFC 2217 mode ("rfc2217://HOST:PORT"). The scheme is read in any
// case; any other string with "://" is taken for a raw line, which names the form it takes when
// it does not open.
enum class LineKind { Local, Tcp, Rfc2217 };
LineKind KindOfPort(const QString &port);

// How far an open, a drain or a close has come.
enum class LineStep { Pending, Done, Failed };

// One line under the serial control: a local serial device or a device server on the network.
// The control keeps the received bytes and the properties; a line only moves bytes and says
// when it is gone. Nothing here blocks. Open, drain and close go in steps: begin, then ask for
// the step again after each activity() until it is no longer pending. While a step is pending
// the line emits activity() when it may have moved on, its own deadlines included, so a caller
// that waits needs no timer of its own. Destroying a line lets go of it at once.
class Line : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    // The line for a device string: "tcp://HOST:PORT", "rfc2217://HOST:PORT", or a device path
    // (COMn on Windows).
    static std::unique_ptr<Line> create(const QString &device);

    // Opens with the settings; on Failed, *error says why (kind, device, reason) and the line
    // stays closed.
    virtual void beginOpen(const LineSettings &settings) = 0;
    virtual LineStep openStep(OpenError *error) = 0;
    // Until the line has carried every byte written: a local port until its driver holds nothing
    // more, a network line until the server has acknowledged every byte and had the time its
    // serial line needs to carry them. Failed when the line went away or the time is up.
    virtual void beginDrain() = 0;
    virtual LineStep drainStep() = 0;
    // Lets go of the line; what is still queued goes or is dropped as the line's kind allows.
    // Never fails.
    virtual void beginClose() = 0;
    virtual LineStep closeStep() = 0;
    // Lets go at once, as for Ctrl+C: what waits to be sent is dropped and a connection reset.
    virtual void abort() {
        clearUnsent();
        beginClose();
        (void)closeStep();
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

    // How long an answer spends on the way back beyond the device's own time: nothing on a
    // local line.
    virtual std::optional<std::chrono::milliseconds> roundTrip() const { return std::nullopt; }
    // Of the last frame written, the bytes the far end acknowledged, where the line can tell
    // (also after it went away).
    virtual std::optional<qint64> acknowledgedOfLastFrame() const { return std::nullopt; }

  signals:
    // Data bytes arrived; readReceived() has them.
    void received();
    // The device or the connection went away; the line must be closed.
    void lost();
    // Something happened on the line (a connection made, bytes in or out, an end, a step's time
    // come) that may move a step on.
    void activity();
};

// Runs the event loop, user input held back, until step() is no longer pending, looking again
// at each activity of the line: the one wait that blocks, for a caller that must have the
// outcome before it returns (the window's port).
LineStep FinishStep(Line &line, const std::function<LineStep()> &step);
