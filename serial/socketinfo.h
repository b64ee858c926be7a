#pragma once

#include <QtGlobal>

#include <chrono>
#include <optional>

// What the system knows of one TCP connection, and the limits that notice a dead one. The socket
// is the connection's descriptor (QTcpSocket::socketDescriptor()).
namespace socketinfo {

// Keep-alive probes after 10 s of quiet, every 5 s, 3 of them, and data unacknowledged for 20 s
// ends the connection. True when the system took them all.
bool tuneDeadConnectionLimits(qintptr socket);

// The system's smoothed round-trip estimate and its variation, when it keeps one. Windows keeps
// no variation: there it is how far the smoothed estimate stands above the least round trip.
struct RoundTrip {
    std::chrono::microseconds smoothed;
    std::chrono::microseconds variation;
};
std::optional<RoundTrip> roundTrip(qintptr socket);

// Bytes written to the connection that the peer has not acknowledged yet, or nothing when the
// system does not tell. Linux counts the unsent ones in the send buffer too; Windows tells only
// the bytes sent and not yet acknowledged.
std::optional<qint64> unacknowledgedBytes(qintptr socket);

// Closing the socket resets the connection and drops what it has not sent yet, rather than
// sending it first. True when the system took it.
bool resetOnClose(qintptr socket);

} // namespace socketinfo
