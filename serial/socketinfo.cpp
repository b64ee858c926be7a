#include "serial/socketinfo.h"

#ifdef Q_OS_WIN
// winsock2.h first: the others build on it.
#include <winsock2.h>

#include <mstcpip.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstddef>

namespace socketinfo {
namespace {

// Quiet before the first keep-alive probe, the time between probes, the probes left unanswered
// before the connection counts as dead, and how long written data may wait for its acknowledgement.
constexpr int kIdleS = 10;
constexpr int kIntervalS = 5;
constexpr int kProbes = 3;
constexpr int kUnacknowledgedS = 20;

// One socket option; true when the system took it.
template <typename T> bool setOption(qintptr socket, int level, int name, T value) {
#ifdef Q_OS_WIN
    const auto s = static_cast<SOCKET>(socket);
#else
    const auto s = static_cast<int>(socket);
#endif
    return ::setsockopt(s, level, name, reinterpret_cast<const char *>(&value), sizeof value) == 0;
}

#ifdef Q_OS_WIN
// Not in the MinGW headers (TCP_MAXRT, TCP_KEEPCNT), or there only for builds aimed at Windows 10
// 1703 and later (SIO_TCP_INFO, TCP_INFO_v0). A system that does not know one refuses it, and the
// call that used it says so.
constexpr int kTcpMaxRetransmitS = 5;                   // TCP_MAXRT
constexpr int kTcpKeepCount = 16;                       // TCP_KEEPCNT
constexpr DWORD kSioTcpInfo = _WSAIORW(IOC_VENDOR, 39); // SIO_TCP_INFO

// SIO_TCP_INFO's answer, version 0 (TCP_INFO_v0).
struct TcpInfoV0 {
    int state;
    ULONG mss;
    ULONG64 connectionTimeMs;
    BOOLEAN timestampsEnabled;
    ULONG rttUs;
    ULONG minRttUs;
    ULONG bytesInFlight;
    ULONG cwnd;
    ULONG sndWnd;
    ULONG rcvWnd;
    ULONG rcvBuf;
    ULONG64 bytesOut;
    ULONG64 bytesIn;
    ULONG bytesReordered;
    ULONG bytesRetrans;
    ULONG fastRetrans;
    ULONG dupAcksIn;
    ULONG timeoutEpisodes;
    UCHAR synRetrans;
};
// Where the headers declare it, the same code and the same places for the fields read here.
#if defined(NTDDI_WIN10_RS2) && NTDDI_VERSION >= NTDDI_WIN10_RS2
static_assert(kSioTcpInfo == SIO_TCP_INFO && sizeof(TcpInfoV0) == sizeof(TCP_INFO_v0));
static_assert(offsetof(TcpInfoV0, rttUs) == offsetof(TCP_INFO_v0, RttUs) &&
              offsetof(TcpInfoV0, minRttUs) == offsetof(TCP_INFO_v0, MinRttUs) &&
              offsetof(TcpInfoV0, bytesInFlight) == offsetof(TCP_INFO_v0, BytesInFlight));
#endif

std::optional<TcpInfoV0> tcpInfo(qintptr socket) {
    DWORD version = 0;
    TcpInfoV0 info{};
    DWORD returned = 0;
    if (::WSAIoctl(static_cast<SOCKET>(socket), kSioTcpInfo, &version, sizeof version, &info,
                   sizeof info, &returned, nullptr, nullptr) != 0 ||
        returned < sizeof info)
        return std::nullopt;
    return info;
}
#endif

} // namespace

#ifdef Q_OS_WIN

bool tuneDeadConnectionLimits(qintptr socket) {
    tcp_keepalive keepAlive{1, kIdleS * 1000, kIntervalS * 1000};
    DWORD returned = 0;
    bool ok = setOption<BOOL>(socket, SOL_SOCKET, SO_KEEPALIVE, TRUE);
    ok = ::WSAIoctl(static_cast<SOCKET>(socket), SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive,
                    nullptr, 0, &returned, nullptr, nullptr) == 0 &&
         ok;
    // The probe count and the limit on unacknowledged data: Windows 10 1703 and later.
    ok = setOption<DWORD>(socket, IPPROTO_TCP, kTcpKeepCount, kProbes) && ok;
    return setOption<DWORD>(socket, IPPROTO_TCP, kTcpMaxRetransmitS, kUnacknowledgedS) && ok;
}

std::optional<RoundTrip> roundTrip(qintptr socket) {
    const auto info = tcpInfo(socket);
    if (!info)
        return std::nullopt;
    const ULONG above = info->rttUs - std::min(info->minRttUs, info->rttUs);
    return RoundTrip{std::chrono::microseconds(info->rttUs), std::chrono::microseconds(above)};
}

std::optional<qint64> unacknowledgedBytes(qintptr socket) {
    const auto info = tcpInfo(socket);
    if (!info)
        return std::nullopt;
    return qint64(info->bytesInFlight);
}

#else

bool tuneDeadConnectionLimits(qintptr socket) {
    bool ok = setOption<int>(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT) &&                     \
    defined(TCP_USER_TIMEOUT)
    ok = setOption<int>(socket, IPPROTO_TCP, TCP_KEEPIDLE, kIdleS) && ok;
    ok = setOption<int>(socket, IPPROTO_TCP, TCP_KEEPINTVL, kIntervalS) && ok;
    ok = setOption<int>(socket, IPPROTO_TCP, TCP_KEEPCNT, kProbes) && ok;
    return setOption<unsigned>(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, kUnacknowledgedS * 1000) &&
           ok;
#else
    // Keep-alive with the system's own timing, and no limit on unacknowledged data.
    return false;
#endif
}

std::optional<RoundTrip> roundTrip(qintptr socket) {
#ifdef Q_OS_LINUX
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return std::nullopt;
    return RoundTrip{std::chrono::microseconds(info.tcpi_rtt),
                     std::chrono::microseconds(info.tcpi_rttvar)};
#else
    Q_UNUSED(socket);
    return std::nullopt;
#endif
}

std::optional<qint64> unacknowledgedBytes(qintptr socket) {
#ifdef Q_OS_LINUX
    int queued = 0;
    if (::ioctl(static_cast<int>(socket), TIOCOUTQ, &queued) != 0)
        return std::nullopt;
    return qint64(queued);
#else
    Q_UNUSED(socket);
    return std::nullopt;
#endif
}

#endif

bool resetOnClose(qintptr socket) {
    linger immediate{};
    immediate.l_onoff = 1;
    immediate.l_linger = 0;
    return setOption(socket, SOL_SOCKET, SO_LINGER, immediate);
}

} // namespace socketinfo
