#include "bench/signserver.h"

#include "tests/support/loopback.h"
#include "virtualcard/virtualcard.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// epoll's tag of a descriptor: what it is in the high half, whose in the low.
enum Tag : std::uint64_t { kWake = 0, kListener = 1, kClient = 2 };
constexpr std::uint64_t tagged(Tag tag, std::size_t index) {
    return (std::uint64_t(tag) << 32) | index;
}

} // namespace

SignServer::SignServer(int count, Line line, int secondCardEvery) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ < 0 || wake_ < 0 || !watch(wake_, tagged(kWake, 0))) {
        error_ = std::string("epoll: ") + std::strerror(errno);
        return;
    }
    for (int i = 0; i < count && error_.empty(); ++i) {
        const bool second = secondCardEvery > 0 && i % secondCardEvery == secondCardEvery - 1;
        auto sign = std::make_unique<Sign>(second ? std::vector<int>{1, 2} : std::vector<int>{1});
        sign->record.cards = sign->bank.cards();
        if (line == Line::Pty) {
            sign->pty = std::make_unique<PtyPair>();
            if (!sign->pty->isValid())
                error_ =
                    "sign " + std::to_string(i) + ": no pseudo-terminal: " + std::strerror(errno);
            else
                addClient(sign->pty->masterFd(), i);
        } else {
            sign->listener = listenOnLoopback(0, &sign->port, &error_);
            if (sign->listener >= 0 && !watch(sign->listener, tagged(kListener, std::size_t(i))))
                error_ = std::string("epoll: ") + std::strerror(errno);
        }
        signs_.push_back(std::move(sign));
    }
    if (error_.empty()) {
        thread_ = std::thread([this] { run(); });
        ::pthread_getcpuclockid(thread_.native_handle(), &threadClock_);
    }
}

SignServer::~SignServer() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
        thread_.join();
    }
    for (const auto &client : clients_)
        if (client && !signs_[std::size_t(client->sign)]->pty)
            ::close(client->fd);
    for (const auto &sign : signs_)
        if (sign->listener >= 0)
            ::close(sign->listener);
    for (const int fd : {epoll_, wake_})
        if (fd >= 0)
            ::close(fd);
}

QString SignServer::address(int sign) const {
    const Sign &s = *signs_.at(std::size_t(sign));
    return s.pty ? s.pty->slavePath() : QStringLiteral("tcp://127.0.0.1:%1").arg(s.port);
}

void SignServer::setRoundTrip(std::chrono::milliseconds roundTrip) {
    const std::lock_guard lock(mutex_);
    oneWay_ = roundTrip / 2;
}

void SignServer::clearRecords() {
    const std::lock_guard lock(mutex_);
    for (const auto &sign : signs_)
        sign->record = SignRecord{{}, 0, 0, sign->bank.cards(), {}};
}

std::vector<SignRecord> SignServer::records() const {
    const std::lock_guard lock(mutex_);
    std::vector<SignRecord> all;
    all.reserve(signs_.size());
    for (const auto &sign : signs_) {
        all.push_back(sign->record);
        all.back().cards = sign->bank.cards();
    }
    return all;
}

std::chrono::microseconds SignServer::cpuTime() const {
    timespec t{};
    if (!thread_.joinable() || ::clock_gettime(threadClock_, &t) != 0)
        return {};
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec));
}

bool SignServer::watch(int fd, std::uint64_t tag) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = tag;
    return ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e) == 0;
}

void SignServer::addClient(int fd, int sign) {
    std::size_t slot = 0;
    while (slot < clients_.size() && clients_[slot])
        ++slot;
    if (slot == clients_.size())
        clients_.emplace_back();
    clients_[slot] = std::make_unique<Client>();
    clients_[slot]->fd = fd;
    clients_[slot]->sign = sign;
    clients_[slot]->id = nextId_++;
    if (!watch(fd, tagged(kClient, slot)))
        drop(slot);
}

void SignServer::acceptAll(int sign) {
    for (int fd; (fd = ::accept4(signs_[std::size_t(sign)]->listener, nullptr, nullptr,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
        setNonBlocking(fd);
        addClient(fd, sign);
    }
}

void SignServer::drop(std::size_t slot) {
    Client &client = *clients_[slot];
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, client.fd, nullptr);
    if (!signs_[std::size_t(client.sign)]->pty)
        ::close(client.fd);
    clients_[slot].reset();
}

void SignServer::receive(std::size_t slot) {
    Client &client = *clients_[slot];
    const bool pty = signs_[std::size_t(client.sign)]->pty != nullptr;
    const Clock::time_point due = Clock::now() + oneWay_;
    char buffer[4096];
    for (;;) {
        const ssize_t n = pty ? ::read(client.fd, buffer, sizeof buffer)
                              : ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            incoming_.push_back({due, slot, client.id, QByteArray(buffer, n)});
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        // The client's end (or a reset) comes after what it sent; until then it is not read.
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, client.fd, nullptr);
        incoming_.push_back({due, slot, client.id, {}});
        return;
    }
}

void SignServer::takeIn(const Held &held, Clock::time_point now) {
    Client *client = clients_[held.slot].get();
    if (!client || client->id != held.id)
        return;
    if (held.bytes.isEmpty()) {
        drop(held.slot);
        return;
    }
    Sign &sign = *signs_[std::size_t(client->sign)];
    for (const ReceivedFrame &frame : client->reader.feed(held.bytes)) {
        const FrameReport report = sign.bank.apply(frame);
        sign.record.frames.push_back(frame.raw);
        sign.record.lastFrameAt = now;
        if (report.changed.empty())
            ++sign.record.ignored;
        if (report.answering >= 0)
            outgoing_.push_back(
                {now + VirtualCard::kReplyDelay + oneWay_, held.slot, held.id, report.reply});
    }
}

void SignServer::sendOut(const Held &held) {
    Client *client = clients_[held.slot].get();
    if (!client || client->id != held.id)
        return;
    ++signs_[std::size_t(client->sign)]->record.answers;
    // A few bytes into an empty buffer: they go at once or the client is gone.
    const ssize_t n =
        signs_[std::size_t(client->sign)]->pty
            ? ::write(client->fd, held.bytes.constData(), std::size_t(held.bytes.size()))
            : ::send(client->fd, held.bytes.constData(), std::size_t(held.bytes.size()),
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)n;
}

void SignServer::run() {
    std::vector<epoll_event> events(1024);
    for (;;) {
        int timeoutMs = -1;
        {
            const std::lock_guard lock(mutex_);
            const Clock::time_point now = Clock::now();
            while (!incoming_.empty() && incoming_.front().due <= now) {
                takeIn(incoming_.front(), now);
                incoming_.pop_front();
            }
            while (!outgoing_.empty() && outgoing_.front().due <= now) {
                sendOut(outgoing_.front());
                outgoing_.pop_front();
            }
            for (const auto *queue : {&incoming_, &outgoing_})
                if (!queue->empty()) {
                    const auto wait =
                        std::chrono::ceil<std::chrono::milliseconds>(queue->front().due - now);
                    timeoutMs =
                        timeoutMs < 0 ? int(wait.count()) : std::min(timeoutMs, int(wait.count()));
                }
        }
        const int n = ::epoll_wait(epoll_, events.data(), int(events.size()), timeoutMs);
        if (n < 0 && errno != EINTR)
            return;
        const std::lock_guard lock(mutex_);
        for (int i = 0; i < n; ++i) {
            const std::uint64_t tag = events[std::size_t(i)].data.u64;
            const std::size_t index = tag & 0xffffffffu;
            switch (Tag(tag >> 32)) {
            case kWake:
                return;
            case kListener:
                acceptAll(int(index));
                break;
            case kClient:
                if (clients_[index])
                    receive(index);
                break;
            }
        }
    }
}
