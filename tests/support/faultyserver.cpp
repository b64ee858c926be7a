#include "tests/support/faultyserver.h"

#include "tests/support/loopback.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kConnectionLimit = std::chrono::seconds(30);

constexpr unsigned char kIac = 0xFF, kSb = 0xFA, kSe = 0xF0, kWill = 0xFB, kWont = 0xFC, kDo = 0xFD,
                        kDont = 0xFE, kComPortOption = 44, kServerOffset = 100;

// The server's side of the Telnet negotiation: agrees to whatever the client asks (each
// request answered once, so nothing loops), and answers each COM-PORT-OPTION request with the
// value asked. Without Telnet every byte is data.
class TelnetServer {
  public:
    explicit TelnetServer(bool telnet) : telnet_(telnet) {}

    // Takes received bytes: the data among them goes to data, the answers owed to replies.
    void take(const char *bytes, std::size_t n, std::string &data, std::string &replies) {
        for (std::size_t i = 0; i < n; ++i) {
            const auto b = static_cast<unsigned char>(bytes[i]);
            if (!telnet_) {
                data += char(b);
                continue;
            }
            switch (state_) {
            case State::Data:
                if (b == kIac)
                    state_ = State::Iac;
                else
                    data += char(b);
                break;
            case State::Iac:
                state_ = b == kIac                  ? State::Data
                         : b >= kWill && b <= kDont ? State::Verb
                         : b == kSb                 ? State::Sb
                                                    : State::Data;
                if (b == kIac)
                    data += char(kIac);
                verb_ = b;
                sb_.clear();
                break;
            case State::Verb:
                answer(verb_, b, replies);
                state_ = State::Data;
                break;
            case State::Sb:
                if (b == kIac)
                    state_ = State::SbIac;
                else
                    sb_ += char(b);
                break;
            case State::SbIac:
                if (b == kIac) {
                    sb_ += char(kIac);
                    state_ = State::Sb;
                } else {
                    if (b == kSe)
                        endSubnegotiation(replies);
                    state_ = State::Data;
                }
                break;
            }
        }
    }
    // The four line settings have been answered (always so without Telnet).
    bool settled() const { return !telnet_ || settings_.size() == 4; }

  private:
    enum class State { Data, Iac, Verb, Sb, SbIac };

    void answer(unsigned char verb, unsigned char option, std::string &replies) {
        if (!answered_.insert(verb << 8 | option).second)
            return;
        const unsigned char reply = verb == kWill   ? kDo
                                    : verb == kDo   ? kWill
                                    : verb == kWont ? kDont
                                                    : kWont;
        replies += {char(kIac), char(reply), char(option)};
    }
    void endSubnegotiation(std::string &replies) {
        if (sb_.size() < 2 || static_cast<unsigned char>(sb_[0]) != kComPortOption)
            return;
        const auto command = static_cast<unsigned char>(sb_[1]);
        replies += {char(kIac), char(kSb), char(kComPortOption), char(command + kServerOffset)};
        for (const char c : sb_.substr(2)) {
            replies += c;
            if (static_cast<unsigned char>(c) == kIac)
                replies += c;
        }
        replies += {char(kIac), char(kSe)};
        if (command >= 1 && command <= 4)
            settings_.insert(command);
    }

    bool telnet_;
    State state_ = State::Data;
    unsigned char verb_ = 0;
    std::string sb_;
    std::set<int> answered_;
    std::set<int> settings_;
};

// A restart frame: two address bytes, 'X', the terminator.
bool holdsRestart(const std::string &data) {
    for (std::size_t i = 3; i < data.size(); ++i)
        if (data[i] == '\x1a' && data[i - 1] == 'X' &&
            (static_cast<unsigned char>(data[i - 3]) & 0x80))
            return true;
    return false;
}

int remainingMs(Clock::time_point end) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    return int(std::max<long long>(0, left));
}

// Sends all of bytes unless the connection fails or its time ends first.
bool sendAll(int fd, const std::string &bytes, Clock::time_point end) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (n >= 0) {
            sent += std::size_t(n);
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, remainingMs(end)) == 0)
            return false;
    }
    return true;
}

} // namespace

FaultyServer::FaultyServer(Behaviour behaviour, Flavour flavour, std::size_t bytes)
    : behaviour_(behaviour), flavour_(flavour), bytes_(bytes) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    std::uint16_t bound = 0;
    listen_ = listenOnLoopback(0, &bound, &error_);
    if (listen_ < 0)
        return;
    port_ = bound;
    thread_ = std::thread([this] { run(); });
}

FaultyServer::~FaultyServer() {
    stop();
    for (const int fd : {listen_, wake_[0], wake_[1]})
        if (fd >= 0)
            ::close(fd);
}

std::string FaultyServer::address() const {
    return std::string(flavour_ == Flavour::Raw ? "tcp" : "rfc2217") +
           "://127.0.0.1:" + std::to_string(port_);
}

std::string FaultyServer::received() const {
    const std::lock_guard lock(mutex_);
    return received_;
}

void FaultyServer::record(const std::string &data) {
    const std::lock_guard lock(mutex_);
    received_ += data;
}

void FaultyServer::stop() {
    if (!thread_.joinable())
        return;
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
}

void FaultyServer::run() {
    for (;;) {
        pollfd p[2] = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
        if ((::poll(p, 2, -1) < 0 && errno != EINTR) || p[0].revents)
            return;
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            continue;
        setNonBlocking(fd);
        serve(fd);
        ++ended_;
    }
}

void FaultyServer::serve(int fd) {
    const Clock::time_point end = Clock::now() + kConnectionLimit;
    TelnetServer telnet(flavour_ == Flavour::Rfc2217);
    std::string taken; // the data bytes read from this connection
    std::vector<char> buffer(65536);
    // Waits for the connection's events or for stop(): the events that came, or -1 on stop and
    // at the end of the connection's time.
    const auto wait = [&](short events, int ms) {
        pollfd p[2] = {{wake_[0], POLLIN, 0}, {fd, events, 0}};
        if (::poll(p, 2, std::min(ms, remainingMs(end))) < 0 || p[0].revents || Clock::now() >= end)
            return -1;
        return int(p[1].revents);
    };
    // Reads at most limit bytes; false when the client has gone.
    const auto readSome = [&](std::size_t limit) {
        const ssize_t n = ::recv(fd, buffer.data(), std::min(limit, buffer.size()), 0);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        if (n == 0)
            return false;
        std::string got, replies;
        telnet.take(buffer.data(), std::size_t(n), got, replies);
        taken += got;
        record(got);
        return sendAll(fd, replies, end);
    };

    bool open = true;
    while (open && !telnet.settled())
        open = wait(POLLIN, 100) >= 0 && readSome(buffer.size());

    if (open && behaviour_ == Behaviour::ResetUnread) {
        // Nothing is read any more; what waits is looked at in place, as the data it holds.
        int seen = -1;
        for (int events = 0; events >= 0 && !(events & (POLLRDHUP | POLLHUP | POLLERR));) {
            events = wait(POLLRDHUP, 2);
            int waiting = 0;
            if (::ioctl(fd, FIONREAD, &waiting) != 0 || waiting == seen)
                continue;
            seen = waiting;
            std::vector<char> peeked(std::size_t(waiting) + 1);
            const ssize_t n = ::recv(fd, peeked.data(), peeked.size(), MSG_PEEK);
            std::string pending, replies;
            TelnetServer copy = telnet;
            copy.take(peeked.data(), std::size_t(std::max<ssize_t>(0, n)), pending, replies);
            if (taken.size() + pending.size() >= bytes_) {
                record(pending);
                resetAndClose(fd);
                return;
            }
        }
    } else if (open && behaviour_ == Behaviour::ReadThenClose) {
        while (open && taken.size() < bytes_)
            open = wait(POLLIN, 100) >= 0 && readSome(bytes_ - taken.size());
    } else if (open) {
        // A device that sends without end takes no notice of the client's end of stream:
        // only a connection gone (a write refused) or the time stops it.
        const std::string flood(65536, 'U');
        bool flooding = holdsRestart(taken);
        bool reading = true;
        for (int events = 0; open && events >= 0;) {
            events = wait(short((reading ? POLLIN : 0) | (flooding ? POLLOUT : 0)), 100);
            if (reading && (events & (POLLIN | POLLHUP | POLLERR)))
                reading = readSome(buffer.size());
            flooding = flooding || holdsRestart(taken);
            open = reading || flooding;
            if (open && flooding && (events & (POLLOUT | POLLHUP | POLLERR))) {
                const ssize_t n = ::send(fd, flood.data(), flood.size(), MSG_NOSIGNAL);
                if (n > 0)
                    flooded_ += std::uint64_t(n);
                else if (errno != EAGAIN && errno != EINTR)
                    open = false;
            }
        }
    }
    ::close(fd);
}
