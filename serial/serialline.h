#pragma once

#include "serial/line.h"

#include <QSerialPort>

// A serial device of this machine over QSerialPort, raw, no flow control, held exclusively:
// a device that another program (or another copy of this tool) holds does not open.
class SerialLine : public Line {
    Q_OBJECT
  public:
    explicit SerialLine(const QString &device);
    ~SerialLine() override;

    bool open(const LineSettings &settings, OpenError *error) override;
    void close() override;
    bool isOpen() const override;
    bool applySettings(const LineSettings &settings) override;
    bool clearReceived() override;
    bool clearUnsent() override;
    bool write(const QByteArray &frame) override;
    void takeInWaiting() override;
    QByteArray readReceived() override;
    qint64 queuedBytes() const override;
    qint64 unsentBytes() const override;
    bool waitForBytesWritten(int timeoutMs) override;
    bool drain() override;

  private:
    bool hungUp() const;
    void onError(QSerialPort::SerialPortError error);

    QString device_;
    QSerialPort port_;
    qint32 baud_ = 9600;
    bool lost_ = false;
};
