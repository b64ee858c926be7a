#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>

// The operations the tool needs of its one serial port, named after the properties of the
// serial control they stand for. Every operation answers with a result the caller must look
// at (each is [[nodiscard]]); none throws and none blocks, except that opening a line to a
// device server waits up to a few seconds for the server.
enum class CommResult {
    Ok,
    PortClosed,      // the operation needs an open port
    PortAlreadyOpen, // the port number can only change while the port is closed
    OpenFailed,      // the device is absent, held by another program, or refused the open
    InvalidValue,    // a value outside what the property takes
    IoError,         // the driver refused the operation
};

class CommPort {
  public:
    virtual ~CommPort() = default;

    // Port number 1..255 (COM1..COM255); only while the port is closed.
    [[nodiscard]] virtual CommResult setCommPort(int number) = 0;
    virtual int commPort() const = 0;

    // Line settings as "baud,parity,databits,stopbits", e.g. "9600,n,8,1".
    [[nodiscard]] virtual CommResult setSettings(const QString &settings) = 0;

    virtual bool portOpen() const = 0;
    // true opens the selected port (fails with OpenFailed), false closes it (always Ok).
    [[nodiscard]] virtual CommResult setPortOpen(bool open) = 0;

    // 1 selects byte-array input; 0 text input.
    [[nodiscard]] virtual CommResult setInputMode(int mode) = 0;
    // Most bytes one input() returns; 0 means all that wait.
    [[nodiscard]] virtual CommResult setInputLen(int length) = 0;
    // Notification thresholds; the tool handles no notification, they are kept for their order.
    [[nodiscard]] virtual CommResult setSThreshold(int bytes) = 0;
    [[nodiscard]] virtual CommResult setRThreshold(int bytes) = 0;

    // Received bytes not yet read, or nothing when the port cannot be read.
    virtual std::optional<int> inBufferCount() = 0;
    // 0 discards the received bytes not yet read.
    [[nodiscard]] virtual CommResult setInBufferCount(int count) = 0;
    // 0 discards the bytes not yet sent.
    [[nodiscard]] virtual CommResult setOutBufferCount(int count) = 0;

    // Queues the bytes unchanged and returns at once; the port sends them by itself.
    [[nodiscard]] virtual CommResult setOutput(const QByteArray &bytes) = 0;
    // Removes and returns up to inputLen waiting bytes, or nothing when the port cannot be read.
    virtual std::optional<QByteArray> input() = 0;
    // The received bytes not yet read, left waiting; nothing when the port cannot be read.
    virtual std::optional<QByteArray> peekInput() = 0;

    // The time an answer spends coming back over the line on top of the device's own time:
    // nothing on a local line; on a network line the round trip measured on the connection.
    virtual std::optional<std::chrono::milliseconds> roundTrip() const = 0;
};
