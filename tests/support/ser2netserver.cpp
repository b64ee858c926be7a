#include "tests/support/ser2netserver.h"

#include <QFile>
#include <QStandardPaths>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

using namespace std::chrono_literals;

quint16 freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof a;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

int tcpEntry(quint16 port, bool remote, const char *state) {
    QFile table(QStringLiteral("/proc/net/tcp"));
    (void)table.open(QIODevice::ReadOnly); // unreadable: no entries
    const QByteArray end =
        "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 4 && f[remote ? 2 : 1] == end && f[3] == state)
            return f[4].split(':').value(1).toInt(nullptr, 16);
    }
    return -1;
}

QString ser2net() {
    return QStandardPaths::findExecutable(QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin")});
}

Ser2netServer::Ser2netServer(const std::vector<Connection> &connections) {
    for (std::size_t i = 0; i < connections.size(); ++i) {
        const Connection &c = connections[i];
        schemes_.push_back(c.scheme);
        // The system may hand out a port it just gave again: each connection needs its own.
        quint16 port;
        do
            port = freePort();
        while (std::find(ports_.begin(), ports_.end(), port) != ports_.end());
        ports_.push_back(port);
        ptys_.push_back(c.device.isEmpty() ? std::make_unique<PtyPair>() : nullptr);
        config_ += QStringLiteral("connection: &c%1\n  accepter: %2,127.0.0.1,%3\n"
                                  "  connector: serialdev,%4,%5,local\n")
                       .arg(i)
                       .arg(c.accepter)
                       .arg(ports_.back())
                       .arg(ptys_.back() ? ptys_.back()->slavePath() : c.device, c.settings);
    }
    QFile file(dir_.filePath(QStringLiteral("ser2net.yaml")));
    if (!file.open(QIODevice::WriteOnly) || file.write(config_.toUtf8()) < 0)
        return;
    file.close();
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.setStandardOutputFile(dir_.filePath(QStringLiteral("ser2net.log")));
    // None of the test's descriptors: a pty master held by the server outlives its close.
    process_.setChildProcessModifier([] {
        for (int fd = 3; fd < 1024; ++fd)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    });
    // In the foreground (-n), without UUCP lock files (-u).
    process_.start(ser2net(),
                   {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-P"),
                    dir_.filePath(QStringLiteral("pid")), QStringLiteral("-c"), file.fileName()});
    const auto allListen = [this] {
        return std::all_of(ports_.begin(), ports_.end(),
                           [](quint16 port) { return tcpEntry(port, false, "0A") >= 0; });
    };
    listening_ = process_.waitForStarted() && waitBlocked(allListen, 5s);
}

Ser2netServer::~Ser2netServer() {
    stop();
}

void Ser2netServer::stop() {
    process_.kill();
    process_.waitForFinished();
}

QString Ser2netServer::address(int connection) const {
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(schemes_.at(std::size_t(connection)))
        .arg(port(connection));
}
