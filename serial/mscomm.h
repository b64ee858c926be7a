#pragma once

#include "serial/commport.h"

#include <QObject>

#include <functional>
#include <memory>

// Maps a port number (1 for COM1) to the device that is opened for it.
using PortMapping = std::function<QString(int number)>;

// COMn is /dev/ttyS(n-1) on Linux and COMn on Windows.
QString portDevice(int number);

// The serial control of the window: one port at a time over QSerialPort, 9600 8N1 raw,
// no flow control. The port is held exclusively: a device that another program (or another
// copy of this tool) holds does not open.
class MSComm : public QObject, public CommPort {
    Q_OBJECT
  public:
    explicit MSComm(PortMapping mapping = portDevice, QObject *parent = nullptr);
    ~MSComm() override;

    CommResult setCommPort(int number) override;
    int commPort() const override;
    CommResult setSettings(const QString &settings) override;
    bool portOpen() const override;
    CommResult setPortOpen(bool open) override;
    CommResult setInputMode(int mode) override;
    CommResult setInputLen(int length) override;
    CommResult setSThreshold(int bytes) override;
    CommResult setRThreshold(int bytes) override;
    std::optional<int> inBufferCount() override;
    CommResult setInBufferCount(int count) override;
    CommResult setOutBufferCount(int count) override;
    CommResult setOutput(const QByteArray &bytes) override;
    std::optional<QByteArray> input() override;

    // Bytes queued by setOutput that have not yet reached the driver.
    qint64 pendingOutput() const;

  private:
    struct Private;
    std::unique_ptr<Private> d;
};
