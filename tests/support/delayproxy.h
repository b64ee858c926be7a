#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <thread>

// A slow network link for tests: listens on 127.0.0.1 and joins each client to a target on
// this machine, every chunk held for half the round trip in each direction, in order and
// without loss. A client's end of stream reaches the target after the same time, and so does a
// reset (as a reset), and the same the other way. Clients may come one after another. It runs
// on its own thread, so the caller may block meanwhile; stop() or the destructor end it.
class DelayProxy {
  public:
    // The target must be a loopback address (127.0.0.0/8 or ::1, or a name for one);
    // listenPort 0 takes a free port.
    DelayProxy(const std::string &targetHost, std::uint16_t targetPort,
               std::chrono::milliseconds roundTrip, std::uint16_t listenPort = 0);
    ~DelayProxy();
    DelayProxy(const DelayProxy &) = delete;
    DelayProxy &operator=(const DelayProxy &) = delete;

    bool listening() const { return port_ != 0; }
    // Why it does not listen.
    const std::string &error() const { return error_; }
    std::uint16_t port() const { return port_; }
    // Clients taken so far.
    int clients() const { return clients_; }

    void stop();

  private:
    void run();

    sockaddr_storage target_{};
    socklen_t targetSize_ = 0;
    std::chrono::milliseconds oneWay_;
    std::string error_;
    std::uint16_t port_ = 0;
    int listen_ = -1;
    int wake_[2] = {-1, -1}; // written to by stop()
    std::atomic<int> clients_{0};
    std::thread thread_;
};
