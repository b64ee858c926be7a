#include "tests/support/pty.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair() {
    char name[256] = {};
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return;
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    master_ = master;
    slave_ = slave;
    slavePath_ = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair() {
    closeMaster();
    if (slave_ >= 0)
        ::close(slave_);
}

void PtyPair::closeMaster() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

namespace {

void readAvailable(int fd, QByteArray &into) {
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return;
        into.append(buf, n);
    }
}

} // namespace

QByteArray PtyPair::read(qsizetype count, std::chrono::milliseconds deadline) {
    QByteArray got;
    QDeadlineTimer timer(deadline);
    while (master_ >= 0 && got.size() < count && !timer.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 2) > 0)
            readAvailable(master_, got);
    }
    return got;
}

QByteArray PtyPair::readUntil(const QByteArray &marker, std::chrono::milliseconds deadline) {
    QByteArray got;
    QDeadlineTimer timer(deadline);
    while (master_ >= 0 && !got.endsWith(marker) && !timer.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 2) > 0)
            readAvailable(master_, got);
    }
    return got;
}

bool PtyPair::write(const QByteArray &bytes) {
    qsizetype done = 0;
    QDeadlineTimer timer(std::chrono::seconds(5));
    while (master_ >= 0 && done < bytes.size() && !timer.hasExpired()) {
        const ssize_t n = ::write(master_, bytes.constData() + done, bytes.size() - done);
        if (n > 0)
            done += n;
        else
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    }
    return done == bytes.size();
}

bool PtyPair::waitQueuedOnSlave(qsizetype count, std::chrono::milliseconds deadline) const {
    QDeadlineTimer timer(deadline);
    for (;;) {
        int queued = 0;
        if (slave_ >= 0 && ::ioctl(slave_, FIONREAD, &queued) == 0 && queued >= count)
            return true;
        if (timer.hasExpired())
            return false;
        ::poll(nullptr, 0, 1);
    }
}

const QByteArray &endMarker() {
    static const QByteArray marker = QByteArray::fromHex("7e4d41524b7e");
    return marker;
}

bool PtyPair::writeIntoSlave(const QByteArray &bytes) const {
    const int fd =
        ::open(QFile::encodeName(slavePath_).constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    qsizetype done = 0;
    QDeadlineTimer deadline(std::chrono::seconds(10));
    while (done < bytes.size() && !deadline.hasExpired()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else
            ::poll(nullptr, 0, 5);
    }
    ::close(fd);
    return done == bytes.size();
}
