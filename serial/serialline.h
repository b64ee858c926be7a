#pragma once

#include "serial/line.h"

#include <QDeadlineTimer>
#include <QSerialPort>
#include <QTimer>

// A serial device of this machine over QSerialPort, raw, no flow control, held exclusively:
// a device that another program (or another copy of this tool) holds does not open. It opens
// and closes at once; a drain waits for the driver's queue, looking again when the line should
// have carried what it holds.
class SerialLine : public Line {
    Q_OBJECT
  public:
    explicit SerialLine(const QString &device);
    ~SerialLine() override;

    void beginOpen(const LineSettings &settings) override;
    LineStep openStep(OpenError *error) override;
    void beginDrain() override;
    LineStep drainStep() override;
    void beginClose() override;
    LineStep closeStep() override;
    bool isOpen() const override;
    bool applySettings(const LineSettings &settings) override;
    bool clearReceived() override;
    bool clearUnsent() override;
    bool write(const QByteArray &frame) override;
    void takeInWaiting() override;
    QByteArray readReceived() override;
    qint64 queuedBytes() const override;
    qint64 unsentBytes() const override;

  private:
    bool open(const LineSettings &settings, OpenError *error);
    void close();
    bool hungUp() const;
    void onError(QSerialPort::SerialPortError error);
    // How long the line takes to carry bytes at its settings, rounded up.
    qint64 lineTimeMs(qint64 bytes) const;

    QString device_;
    QSerialPort port_;
    qint32 baud_ = 9600;
    int bitsPerByte_ = 10; // start, data, parity and stop bits
    bool lost_ = false;
    OpenError openError_; // why the last open failed
    QDeadlineTimer drainDeadline_;
    QTimer lookAgain_; // a drain's next look at the driver's queue
};
