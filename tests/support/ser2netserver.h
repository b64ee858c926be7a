#pragma once

#include "tests/support/pty.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

// A port on 127.0.0.1 that nothing listens on at the moment of asking.
quint16 freePort();
// count such ports, all different.
std::vector<quint16> freePorts(int count);

// A field of /proc/net/tcp for the connection whose local (or remote) end is 127.0.0.1:port in
// the given state (0A listening, 01 established): the receive queue, or -1 when there is none.
int tcpEntry(quint16 port, bool remote, const char *state);

// Waits without running the event loop: nothing in this program reads meanwhile.
template <typename Pred> bool waitBlocked(Pred pred, std::chrono::milliseconds deadline) {
    const QDeadlineTimer timer(deadline);
    while (!pred() && !timer.hasExpired())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
}

// Debian's ser2net (/usr/sbin/ser2net), empty when it is not installed.
QString ser2net();

// Debian's ser2net in front of serial devices, each connection on its own port of 127.0.0.1,
// started by the test and killed by it.
class Ser2netServer {
  public:
    struct Connection {
        Connection(const QString &accepter, const QString &scheme,
                   const QString &settings = QStringLiteral("9600n81"),
                   const QString &device = QString())
            : accepter(accepter), scheme(scheme), settings(settings), device(device) {}
        QString accepter; // as ser2net takes it: "tcp", "telnet(rfc2217),tcp"
        QString scheme;   // what clients are given: "tcp" or "rfc2217"
        QString settings; // the device's line as the server opens it
        QString device;   // empty: a pseudo-terminal pair of its own
    };

    explicit Ser2netServer(const std::vector<Connection> &connections);
    ~Ser2netServer();
    Ser2netServer(const Ser2netServer &) = delete;
    Ser2netServer &operator=(const Ser2netServer &) = delete;

    // Every port listens.
    bool listening() const { return listening_; }
    bool running() const { return process_.state() == QProcess::Running; }
    // The configuration written, for failure messages.
    const QString &config() const { return config_; }
    // What the server printed so far, for failure messages.
    QByteArray log() const;
    quint16 port(int connection) const { return ports_.at(std::size_t(connection)); }
    // scheme://127.0.0.1:port
    QString address(int connection) const;
    // The pair of a connection that has one of its own.
    PtyPair &pty(int connection) { return *ptys_.at(std::size_t(connection)); }

    void stop();

  private:
    QTemporaryDir dir_;
    QString config_;
    std::vector<QString> schemes_;
    std::vector<quint16> ports_;
    std::vector<std::unique_ptr<PtyPair>> ptys_;
    QProcess process_;
    bool listening_ = false;
};
