#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// A device server on 127.0.0.1 that misbehaves in one way, for the network lines' failure
// paths. In the RFC 2217 flavour it first agrees to every Telnet option the client asks for
// and answers each COM-PORT-OPTION request with the value asked; the raw flavour has no
// negotiation. It serves clients one after another on its own thread; stop() or the
// destructor end it.
class FaultyServer {
  public:
    enum class Behaviour {
        // Stops reading once the line is settled, and resets the connection (SO_LINGER 0) as
        // soon as `bytes` data bytes wait unread: a server that took a frame into its buffer
        // and then went away.
        ResetUnread,
        // Reads `bytes` data bytes, then closes with the rest unread, which resets.
        ReadThenClose,
        // After a restart frame (four bytes ending in 0x1A) writes data as fast as the
        // connection takes it, until the connection is gone (an end of stream from the client
        // is not enough) or 30 s have passed.
        FloodAfterFrame,
    };
    enum class Flavour { Raw, Rfc2217 };

    FaultyServer(Behaviour behaviour, Flavour flavour, std::size_t bytes = 0);
    ~FaultyServer();
    FaultyServer(const FaultyServer &) = delete;
    FaultyServer &operator=(const FaultyServer &) = delete;

    bool listening() const { return port_ != 0; }
    const std::string &error() const { return error_; }
    std::uint16_t port() const { return port_; }
    // tcp://127.0.0.1:PORT or rfc2217://127.0.0.1:PORT, by the flavour.
    std::string address() const;

    // The data bytes received so far (Telnet commands taken out), of every connection; with
    // ResetUnread, those that waited unread at the reset too.
    std::string received() const;
    // Connections that have ended, and the bytes written by FloodAfterFrame.
    int connectionsEnded() const { return ended_; }
    std::uint64_t flooded() const { return flooded_; }

    void stop();

  private:
    void run();
    void serve(int fd);
    void record(const std::string &data);

    const Behaviour behaviour_;
    const Flavour flavour_;
    const std::size_t bytes_;
    std::string error_;
    std::uint16_t port_ = 0;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::string received_;
    std::atomic<int> ended_{0};
    std::atomic<std::uint64_t> flooded_{0};
    std::thread thread_;
};
