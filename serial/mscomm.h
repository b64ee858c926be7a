#pragma once

#include "serial/commport.h"
#include "serial/line.h"
#include "serial/openerror.h"
#include "serial/portmap.h"

#include <QObject>

#include <functional>
#include <memory>

// The serial control of the window: one port at a time, 9600 8N1 raw, no flow control, over
// the line its device names: a local serial device (held exclusively: a device that another
// program or another copy of this tool holds does not open), or a device server at
// tcp://HOST:PORT (raw) or rfc2217://HOST:PORT.
//
// The window sets the control's properties in a fixed order before each command, and every one
// of those calls answers as the control would (closed port, value out of range). Some of them
// change nothing here and are kept only so that those calls, and their order, stay as they are:
// InputMode (input is always bytes), SThreshold and RThreshold (no events are raised: the
// window reads the reply when its timer fires).
class MSComm : public QObject, public CommPort {
    Q_OBJECT
  public:
    explicit MSComm(PortMapping mapping = portDevice, QObject *parent = nullptr);
    ~MSComm() override;

    [[nodiscard]] CommResult setCommPort(int number) override;
    int commPort() const override;
    // A device path or a tcp:// or rfc2217:// address to open instead of the number's device,
    // until setCommPort is called again; only while the port is closed.
    [[nodiscard]] CommResult setPortName(const QString &device);
    // The name set so, or empty while the number chooses the device.
    QString portName() const;
    [[nodiscard]] CommResult setSettings(const QString &settings) override;
    bool portOpen() const override;
    [[nodiscard]] CommResult setPortOpen(bool open) override;
    [[nodiscard]] CommResult setInputMode(int mode) override;
    [[nodiscard]] CommResult setInputLen(int length) override;
    [[nodiscard]] CommResult setSThreshold(int bytes) override;
    [[nodiscard]] CommResult setRThreshold(int bytes) override;
    std::optional<int> inBufferCount() override;
    [[nodiscard]] CommResult setInBufferCount(int count) override;
    [[nodiscard]] CommResult setOutBufferCount(int count) override;
    [[nodiscard]] CommResult setOutput(const QByteArray &bytes) override;
    std::optional<QByteArray> input() override;
    std::optional<QByteArray> peekInput() override;
    std::optional<std::chrono::milliseconds> roundTrip() const override;

    // Bytes queued by setOutput that have not yet reached the driver.
    qint64 queuedBytes() const;
    // Bytes written that have not yet left the port: Qt's queue and the driver's.
    qint64 unsentBytes() const;
    // Waits until the line has carried every byte written: a local port until its driver has
    // put them all on the line, a network line until the server has acknowledged every byte and
    // had the time its serial line needs to carry them. False when the port is not open, the
    // driver refused the wait or the line went away meanwhile.
    bool drain();
    // Of the last frame written, the bytes a network line's server acknowledged (also after the
    // line went away); nothing on a local line.
    std::optional<qint64> acknowledgedOfLastFrame() const;

    // Open, drain and close in steps, for a program that drives many ports from one event loop:
    // begin, then ask for the step after each turn of the loop until it is no longer pending.
    // beginOpen fails at once where setPortOpen(true) would before any wait (no device); a
    // failed openStep leaves openError() saying why.
    [[nodiscard]] CommResult beginOpen();
    LineStep openStep();
    void beginDrain();
    LineStep drainStep();
    void beginClose();
    LineStep closeStep();
    // Closes at once, dropping what is still to be sent (Line::abort).
    void abort();

    // The device a port number opens now, as the mapping gives it.
    PortTarget target(int number) const;
    // The device the port opened last (or tried to), and why the last open failed.
    QString device() const;
    const OpenError &openError() const;

  signals:
    // The device went away while open (adapter pulled, peer hung up); the port is closed.
    void portLost();
    // Something happened on the line that may move a step on (see Line::activity).
    void lineActivity();

  private:
    // The line for the device the port opens now, made or kept; false when there is none.
    bool prepareLine();

    struct Private;
    std::unique_ptr<Private> d;
};
