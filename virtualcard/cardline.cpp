#include "virtualcard/cardline.h"

#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString lastError(const char *what) {
    return QStringLiteral("%1: %2").arg(QString::fromLatin1(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

// Raw 9600 8N1 without flow control: every byte passes unchanged in both directions.
bool makeLineRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace
#endif

CardLine::CardLine(QObject *parent) : QObject(parent) {}

CardLine::~CardLine() {
#ifdef Q_OS_UNIX
    delete readNotifier_;
    delete writeNotifier_;
    if (fd_ >= 0)
        ::close(fd_);
    if (slave_ >= 0)
        ::close(slave_);
#endif
}

#ifdef Q_OS_UNIX

bool CardLine::openPseudoTerminal(QString *error) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        *error = lastError("posix_openpt");
        return false;
    }
    const char *name = nullptr;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || !(name = ::ptsname(master))) {
        *error = lastError("grantpt/unlockpt/ptsname");
        ::close(master);
        return false;
    }
    const QString slavePath = QFile::decodeName(name);
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0 || !makeLineRaw(slave)) {
        *error = lastError("slave");
        if (slave >= 0)
            ::close(slave);
        ::close(master);
        return false;
    }
    slave_ = slave;
    path_ = slavePath;
    return attach(master, error);
}

bool CardLine::openDevice(const QString &path, QString *error) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *error = lastError(QFile::encodeName(path).constData());
        return false;
    }
    if (!makeLineRaw(fd)) {
        *error = lastError("line settings");
        ::close(fd);
        return false;
    }
    path_ = path;
    return attach(fd, error);
}

#endif

bool CardLine::listen(const QString &hostPort, QString *error) {
    const qsizetype colon = hostPort.lastIndexOf(u':');
    const QString host = colon < 0 ? QStringLiteral("127.0.0.1") : hostPort.left(colon);
    bool ok = false;
    const uint port = hostPort.mid(colon + 1).toUInt(&ok);
    const QHostAddress address(host);
    if (!ok || port > 65535 || address.isNull()) {
        *error =
            QStringLiteral("--listen wants [HOST:]PORT with a numeric HOST, not %1").arg(hostPort);
        return false;
    }
    server_ = new QTcpServer(this);
    if (!server_->listen(address, quint16(port))) {
        *error = QStringLiteral("listen on %1: %2").arg(hostPort, server_->errorString());
        return false;
    }
    path_ = QStringLiteral("tcp://%1:%2").arg(host).arg(server_->serverPort());
    connect(server_, &QTcpServer::newConnection, this, &CardLine::takeNextClient);
    return true;
}

void CardLine::takeNextClient() {
    if (client_ || !server_->hasPendingConnections())
        return;
    QTcpSocket *socket = server_->nextPendingConnection();
    client_ = socket;
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { deliver(socket->readAll()); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        if (client_ == socket)
            client_ = nullptr;
        socket->deleteLater();
        takeNextClient();
    });
}

#ifdef Q_OS_UNIX
bool CardLine::attach(int fd, QString *error) {
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        *error = lastError("fcntl");
        ::close(fd);
        return false;
    }
    fd_ = fd;
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read);
    connect(readNotifier_, &QSocketNotifier::activated, this, &CardLine::readReady);
    writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &CardLine::writeReady);
    return true;
}

void CardLine::readReady() {
    QByteArray got;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        readNotifier_->setEnabled(false);
        if (!got.isEmpty())
            deliver(got);
        emit lost(n == 0 ? QStringLiteral("end of file") : lastError("read"));
        return;
    }
    if (!got.isEmpty())
        deliver(got);
}

#endif

void CardLine::deliver(const QByteArray &bytes) {
    if (echo_)
        write(bytes);
    emit received(bytes);
}

void CardLine::write(const QByteArray &bytes) {
    if (server_) {
        if (client_)
            client_->write(bytes);
        return;
    }
#ifdef Q_OS_UNIX
    if (fd_ < 0)
        return;
    pending_.append(bytes);
    writeReady();
#endif
}

#ifdef Q_OS_UNIX
void CardLine::writeReady() {
    while (!pending_.isEmpty()) {
        const ssize_t n = ::write(fd_, pending_.constData(), std::size_t(pending_.size()));
        if (n > 0) {
            pending_.remove(0, n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            pending_.clear();
            break;
        }
        if (n < 0 && errno == EINTR)
            continue;
        writeNotifier_->setEnabled(true);
        return;
    }
    writeNotifier_->setEnabled(false);
}
#endif
