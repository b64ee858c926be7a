#pragma once

#include "tests/support/pty.h"
#include "virtualcard/cardbank.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What one sign got since the records were last cleared, and what its cards hold now.
struct SignRecord {
    std::vector<QByteArray> frames; // every frame as it arrived, ignored ones too
    int answers = 0;                // restart answers sent
    int ignored = 0;                // frames and noise the cards did nothing with
    std::vector<CardState> cards;   // card 1, and card 2 where the sign has one
    std::chrono::steady_clock::time_point lastFrameAt; // when the last frame reached the cards
};

// Many signs served by one thread of this process, each a virtual card bank (card 1; every
// secondCardEvery-th sign also card 2) on its own line: the master of a pseudo-terminal pair
// whose slave a device server opens, or a raw TCP server on 127.0.0.1 that the tool reaches
// itself. A TCP sign takes any number of clients at once; each client's frames reach the
// cards and a restart is answered to the client that sent it. The round trip of a slow link
// is held here: what a sign receives reaches its cards half of it later, and what they send
// leaves half of it later, so that a thousand slow signs cost no thousand proxies.
class SignServer {
  public:
    enum class Line { Pty, Tcp };

    SignServer(int count, Line line, int secondCardEvery);
    ~SignServer();
    SignServer(const SignServer &) = delete;
    SignServer &operator=(const SignServer &) = delete;

    // Empty when every sign is up.
    const std::string &error() const { return error_; }
    int count() const { return int(signs_.size()); }
    // The slave's path, or tcp://127.0.0.1:PORT.
    QString address(int sign) const;

    // Held for what arrives from now on.
    void setRoundTrip(std::chrono::milliseconds roundTrip);
    void clearRecords();
    std::vector<SignRecord> records() const;
    // Processor time of the serving thread so far.
    std::chrono::microseconds cpuTime() const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Sign {
        explicit Sign(const std::vector<int> &addresses) : bank(addresses) {}
        CardBank bank;
        SignRecord record;
        int listener = -1;
        std::uint16_t port = 0;
        std::unique_ptr<PtyPair> pty;
    };
    struct Client {
        int fd = -1;
        int sign = 0;
        std::uint64_t id = 0; // tells a client from a later one in the same slot
        FrameReader reader;
    };
    // Bytes on their way in (a frame's bytes, or empty for the client's end) or out.
    struct Held {
        Clock::time_point due;
        std::size_t slot;
        std::uint64_t id;
        QByteArray bytes;
    };

    void run();
    bool watch(int fd, std::uint64_t tag);
    void addClient(int fd, int sign);
    void acceptAll(int sign);
    void receive(std::size_t slot);
    void takeIn(const Held &held, Clock::time_point now);
    void sendOut(const Held &held);
    void drop(std::size_t slot);

    std::vector<std::unique_ptr<Sign>> signs_;
    std::vector<std::unique_ptr<Client>> clients_; // empty slots are reused
    std::string error_;
    int epoll_ = -1;
    int wake_ = -1; // an eventfd: the destructor ends the thread through it
    std::uint64_t nextId_ = 1;
    mutable std::mutex mutex_; // the signs, the round trip and the queues
    std::chrono::milliseconds oneWay_{0};
    std::deque<Held> incoming_, outgoing_; // each in the order due
    std::thread thread_;
    clockid_t threadClock_{};
};
