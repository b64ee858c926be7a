#include "tests/support/delayproxy.h"

#include "tests/support/loopback.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <list>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Beyond this much held in one direction, its sender is not read until some has gone out.
constexpr std::size_t kHeldLimit = std::size_t(4) << 20;

bool isLoopback(const sockaddr *a) {
    if (a->sa_family == AF_INET)
        return ntohl(reinterpret_cast<const sockaddr_in *>(a)->sin_addr.s_addr) >> 24 == 127;
    if (a->sa_family == AF_INET6)
        return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr);
    return false;
}

// What one side sent, as the other side is to get it, and when.
struct Event {
    enum Kind { Data, End, Reset } kind;
    Clock::time_point due;
    std::string bytes;
};

// One direction of a connection: read from `from`, held, written to `to`.
struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Event> held;
    std::size_t heldBytes = 0;
    std::size_t sentOfFront = 0;
    bool fromEnded = false; // its end of stream or reset has been read (or made up)
    bool delivered = false; // its end of stream has reached `to`

    bool wantsToRead() const { return !fromEnded && heldBytes < kHeldLimit; }
    bool dueNow(Clock::time_point now) const { return !held.empty() && held.front().due <= now; }
    void hold(Event::Kind kind, Clock::time_point due, std::string bytes = {}) {
        heldBytes += bytes.size();
        held.push_back({kind, due, std::move(bytes)});
    }
};

struct Link {
    Link(int client, int target) {
        up.from = down.to = client;
        up.to = down.from = target;
    }
    Direction up, down; // client to target, target to client
    bool over = false;
};

// Reads what waits on d.from into d.
void readInto(Direction &d, Clock::time_point due, std::vector<char> &buffer) {
    const ssize_t n = ::recv(d.from, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) {
        d.hold(Event::Data, due, std::string(buffer.data(), std::size_t(n)));
    } else if (n == 0) {
        d.hold(Event::End, due);
        d.fromEnded = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        d.hold(Event::Reset, due);
        d.fromEnded = true;
    }
}

// Writes what is due from d; a side that is gone is reset on the other end after the delay.
void deliver(Link &link, Direction &d, Direction &back, Clock::time_point now,
             std::chrono::milliseconds oneWay) {
    while (!link.over && d.dueNow(now)) {
        Event &e = d.held.front();
        if (e.kind == Event::Data) {
            const ssize_t n = ::send(d.to, e.bytes.data() + d.sentOfFront,
                                     e.bytes.size() - d.sentOfFront, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                return;
            if (n < 0) {
                if (!back.fromEnded) {
                    back.hold(Event::Reset, now + oneWay);
                    back.fromEnded = true;
                }
                d.held.clear();
                d.heldBytes = 0;
                return;
            }
            d.sentOfFront += std::size_t(n);
            if (d.sentOfFront < e.bytes.size())
                continue;
            d.heldBytes -= e.bytes.size();
            d.sentOfFront = 0;
        } else if (e.kind == Event::End) {
            ::shutdown(d.to, SHUT_WR);
            d.delivered = true;
        } else {
            resetAndClose(d.to);
            ::close(d.from);
            link.over = true;
            return;
        }
        d.held.pop_front();
    }
    if (!link.over && link.up.delivered && link.down.delivered) {
        ::close(link.up.from);
        ::close(link.up.to);
        link.over = true;
    }
}

// Joins each waiting client to a new connection to the target.
void acceptClients(int listener, const sockaddr_storage &target, socklen_t targetSize,
                   std::list<Link> &links, std::atomic<int> &clients) {
    for (int client;
         (client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
        ++clients;
        const int onward = ::socket(target.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (onward < 0 ||
            ::connect(onward, reinterpret_cast<const sockaddr *>(&target), targetSize) != 0) {
            // As a server that is not there: the client is turned away.
            if (onward >= 0)
                ::close(onward);
            resetAndClose(client);
            continue;
        }
        setNonBlocking(client);
        setNonBlocking(onward);
        links.emplace_back(client, onward);
    }
}

} // namespace

DelayProxy::DelayProxy(const std::string &targetHost, std::uint16_t targetPort,
                       std::chrono::milliseconds roundTrip, std::uint16_t listenPort)
    : oneWay_(roundTrip / 2) {
    std::string host = targetHost;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(targetPort).c_str(), &hints, &found) != 0) {
        error_ = "cannot resolve " + host;
        return;
    }
    for (const addrinfo *a = found; a && !targetSize_; a = a->ai_next)
        if (isLoopback(a->ai_addr)) {
            std::memcpy(&target_, a->ai_addr, a->ai_addrlen);
            targetSize_ = a->ai_addrlen;
        }
    ::freeaddrinfo(found);
    if (!targetSize_) {
        error_ = host + " is not an address of this machine (loopback only)";
        return;
    }
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    std::uint16_t bound = 0;
    listen_ = listenOnLoopback(listenPort, &bound, &error_);
    if (listen_ < 0)
        return;
    port_ = bound;
    thread_ = std::thread([this] { run(); });
}

DelayProxy::~DelayProxy() {
    stop();
    for (const int fd : {listen_, wake_[0], wake_[1]})
        if (fd >= 0)
            ::close(fd);
}

void DelayProxy::stop() {
    if (!thread_.joinable())
        return;
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
}

void DelayProxy::run() {
    std::list<Link> links;
    std::vector<char> buffer(65536);
    std::vector<pollfd> fds;
    std::vector<Link *> owners; // the link of fds[i] for i >= 2
    for (;;) {
        Clock::time_point now = Clock::now();
        for (Link &link : links) {
            deliver(link, link.up, link.down, now, oneWay_);
            deliver(link, link.down, link.up, now, oneWay_);
        }
        links.remove_if([](const Link &link) { return link.over; });

        // A side is polled for reading while its direction takes more, for writing while what
        // is due to it waits (the system took no more): never for nothing, where a hang-up
        // would keep waking the loop.
        fds.assign({{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}});
        owners.clear();
        int timeout = -1;
        for (Link &link : links) {
            for (Direction *d : {&link.up, &link.down}) {
                const Direction &toIt = d == &link.up ? link.down : link.up;
                const short events =
                    short((d->wantsToRead() ? POLLIN : 0) | (toIt.dueNow(now) ? POLLOUT : 0));
                fds.push_back({events ? d->from : -1, events, 0});
                owners.push_back(&link);
                if (!d->held.empty() && d->held.front().due > now) {
                    const auto wait =
                        std::chrono::ceil<std::chrono::milliseconds>(d->held.front().due - now);
                    timeout =
                        timeout < 0 ? int(wait.count()) : std::min(timeout, int(wait.count()));
                }
            }
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            break;
        now = Clock::now();
        for (std::size_t i = 2; i < fds.size(); i += 2) {
            Link &link = *owners[i - 2];
            if (fds[i].revents && link.up.wantsToRead())
                readInto(link.up, now + oneWay_, buffer);
            if (fds[i + 1].revents && link.down.wantsToRead())
                readInto(link.down, now + oneWay_, buffer);
        }
        if (fds[1].revents & POLLIN)
            acceptClients(listen_, target_, targetSize_, links, clients_);
    }
    for (Link &link : links)
        for (const int fd : {link.up.from, link.up.to})
            ::close(fd);
}
