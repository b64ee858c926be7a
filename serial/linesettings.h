#pragma once

#include <QString>

#include <optional>

// The settings of a serial line, as the control's Settings string gives them and as every
// kind of line applies them (a local port through its driver, a device server through
// COM-PORT-OPTION).
struct LineSettings {
    enum class Parity { None, Odd, Even, Mark, Space };
    enum class StopBits { One, OneAndHalf, Two };

    qint32 baud = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;

    // "9600,n,8,1" and the like; nothing for a string the control does not take.
    static std::optional<LineSettings> parse(const QString &text);
    // As parse takes it: "9600,n,8,1".
    QString text() const;
    // Milliseconds bytes take on the line: each a start bit, its data bits, the parity bit if
    // any and the stop bits, at baud bits a second.
    qint64 timeMs(qint64 bytes) const;

    bool operator==(const LineSettings &) const = default;
};
