#include "serial/serialline.h"

#include "serial/openfiles.h"
#include "serial/portmap.h"

#include <QFile>

#include <algorithm>
#include <cstring>

#include <cerrno>
#include <csignal>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// An open takes a descriptor for the device and one for Qt's lock file.
constexpr int kDescriptorsPerOpen = 2;

// The control's send buffer: a frame up to this size is handed to the driver at once.
constexpr qsizetype kOutBufferSize = 512;
// Beyond twice the line's time for what is queued, how long a drain waits for the driver.
constexpr qint64 kDrainSlackMs = 5000;

QSerialPort::Parity qtParity(LineSettings::Parity parity) {
    switch (parity) {
    case LineSettings::Parity::None:
        return QSerialPort::NoParity;
    case LineSettings::Parity::Odd:
        return QSerialPort::OddParity;
    case LineSettings::Parity::Even:
        return QSerialPort::EvenParity;
    case LineSettings::Parity::Mark:
        return QSerialPort::MarkParity;
    case LineSettings::Parity::Space:
        return QSerialPort::SpaceParity;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits qtStopBits(LineSettings::StopBits stopBits) {
    switch (stopBits) {
    case LineSettings::StopBits::One:
        return QSerialPort::OneStop;
    case LineSettings::StopBits::OneAndHalf:
        return QSerialPort::OneAndHalfStop;
    case LineSettings::StopBits::Two:
        return QSerialPort::TwoStop;
    }
    return QSerialPort::OneStop;
}

// Whether another program holds the device by the lock-file convention: a file
// LCK..<name below /dev, '/' as '_'> in the lock directory whose first field is the process
// id of a live process. Qt keeps its own lock files there too, but takes a file it cannot
// read as its own (the ASCII "%10d\n" of UUCP and cu, or minicom's "%10d minicom user\n"
// once older than 30 s) for stale, deletes it and opens the port under the holder's feet.
qint64 lockHolder(const QString &device) {
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(u'/', u'_');
    for (const char *dir : {"/var/lock", "/run/lock"}) {
        QFile lock(QString::fromLatin1(dir) + QLatin1String("/LCK..") + name);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        const QByteArray first = lock.read(64).trimmed().split('\n').value(0).simplified();
        bool ok = false;
        const qint64 pid = first.split(' ').value(0).toLongLong(&ok);
        if (!ok || pid <= 0 || pid == ::getpid())
            continue;
        // A process that exists but belongs to another user still holds the lock.
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)
            return pid;
    }
    return 0;
}

// The command name of a process, where /proc tells it.
QString processName(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed())
                                          : QString();
}

// Why a device cannot be opened before trying it, or None.
OpenError checkBeforeOpen(const QString &device) {
    OpenError e;
    e.device = device;
    const QByteArray path = QFile::encodeName(device);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0) {
        e.kind = errno == ENOENT ? OpenError::Absent : OpenError::Other;
        e.systemMessage = QString::fromLocal8Bit(std::strerror(errno));
        return e;
    }
    if (::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES) {
        e.kind = OpenError::PermissionDenied;
        if (const group *g = ::getgrgid(st.st_gid))
            e.group = QString::fromLocal8Bit(g->gr_name);
        e.systemMessage = QString::fromLocal8Bit(std::strerror(EACCES));
        return e;
    }
    if (const qint64 pid = lockHolder(device)) {
        e.kind = OpenError::Busy;
        e.holderPid = pid;
        e.holderName = processName(pid);
    }
    return e;
}

} // namespace

SerialLine::SerialLine(const QString &device) : device_(device) {
    connect(&port_, &QSerialPort::readyRead, this, &Line::received);
    connect(&port_, &QSerialPort::readyRead, this, &Line::activity);
    connect(&port_, &QSerialPort::bytesWritten, this, &Line::activity);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialLine::onError);
    lookAgain_.setSingleShot(true);
    lookAgain_.setTimerType(Qt::PreciseTimer);
    connect(&lookAgain_, &QTimer::timeout, this, &Line::activity);
}

SerialLine::~SerialLine() {
    close();
}

void SerialLine::onError(QSerialPort::SerialPortError error) {
    // A device that went away (an adapter pulled, a peer that hung up) is lost. A pty whose
    // peer hung up reads as end of file, which Qt reports as a read error again on every turn
    // of the loop; the hang-up shows in poll.
    if (error == QSerialPort::ResourceError || (error == QSerialPort::ReadError && hungUp())) {
        if (!lost_) {
            lost_ = true;
            emit lost();
        }
    } else if (error == QSerialPort::TimeoutError) {
        port_.clearError();
        return;
    }
    if (error != QSerialPort::NoError)
        emit activity();
}

void SerialLine::beginOpen(const LineSettings &settings) {
    openError_ = OpenError{};
    open(settings, &openError_);
}

LineStep SerialLine::openStep(OpenError *error) {
    if (isOpen())
        return LineStep::Done;
    *error = openError_;
    return LineStep::Failed;
}

bool SerialLine::open(const LineSettings &settings, OpenError *error) {
    close();
    *error = OpenError{};
    error->device = device_;
    const auto fail = [&](OpenError::Kind kind, const QString &why = QString()) {
        error->kind = kind;
        if (!why.isEmpty())
            error->systemMessage = why;
        return false;
    };
    *error = checkBeforeOpen(device_);
    if (error->kind != OpenError::None)
        return false;
    port_.setPortName(device_);
    if (!port_.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError e = port_.error();
        const QString why = port_.errorString();
        port_.clearError();
        // Qt words a lock file it could not create for want of a descriptor as a permission
        // error too: the descriptors left tell.
        if (DescriptorsExhausted(kDescriptorsPerOpen)) {
            error->fileLimit = OpenFilesLimit();
            return fail(OpenError::TooManyFiles, why);
        }
        // Qt reports a lock file of another program's, and a device in use, as a permission
        // error; permission itself was looked at before.
        return fail(e == QSerialPort::PermissionError       ? OpenError::Busy
                    : e == QSerialPort::DeviceNotFoundError ? OpenError::Absent
                                                            : OpenError::Other,
                    why);
    }
    // Qt's lock file in /run/lock keeps out programs that follow that convention; flock keeps
    // out those that lock the descriptor instead (and holds for root, unlike TIOCEXCL).
    if (::flock(port_.handle(), LOCK_EX | LOCK_NB) != 0) {
        port_.close();
        return fail(OpenError::Busy);
    }
    // An on-board node without hardware opens, and then sends nothing.
    if (isGhostDescriptor(port_.handle())) {
        ::flock(port_.handle(), LOCK_UN);
        port_.close();
        return fail(OpenError::Ghost);
    }
    if (!applySettings(settings)) {
        const QString why = port_.errorString();
        close();
        return fail(OpenError::Other, why);
    }
    port_.clear(QSerialPort::AllDirections);
    port_.clearError();
    return true;
}

void SerialLine::beginClose() {
    close();
}

LineStep SerialLine::closeStep() {
    return LineStep::Done;
}

void SerialLine::close() {
    lookAgain_.stop();
    if (port_.isOpen()) {
        // A serial driver holds the close until its buffer has drained (up to 30 s), and the
        // window with it. What goes out within a tenth of a second (a settings or restart
        // frame just written) is let go, so exit right after a command still sends it whole;
        // the rest of a long text is dropped, in the driver as in Qt.
        int queued = 0;
        if (::ioctl(port_.handle(), TIOCOUTQ, &queued) != 0)
            queued = 0;
        const qint64 unsent = queued + port_.bytesToWrite();
        if (!lost_ && unsent <= baud_ / 100)
            port_.flush();
        else
            ::tcflush(port_.handle(), TCOFLUSH);
        ::flock(port_.handle(), LOCK_UN);
        port_.close();
    }
    lost_ = false;
}

bool SerialLine::isOpen() const {
    return port_.isOpen();
}

bool SerialLine::applySettings(const LineSettings &settings) {
    baud_ = settings.baud;
    bitsPerByte_ = 1 + settings.dataBits + (settings.parity == LineSettings::Parity::None ? 0 : 1) +
                   (settings.stopBits == LineSettings::StopBits::One ? 1 : 2);
    return port_.setBaudRate(settings.baud) && port_.setParity(qtParity(settings.parity)) &&
           port_.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits)) &&
           port_.setStopBits(qtStopBits(settings.stopBits)) &&
           port_.setFlowControl(QSerialPort::NoFlowControl);
}

bool SerialLine::clearReceived() {
    port_.readAll();
    return port_.clear(QSerialPort::Input);
}

bool SerialLine::clearUnsent() {
    // Only bytes that really wait are dropped. A pseudo-terminal does not count bytes its
    // peer has not read yet as unsent, yet a flush would take them back from the peer: a frame
    // that has left is left alone.
    if (unsentBytes() == 0)
        return true;
    return port_.clear(QSerialPort::Output);
}

bool SerialLine::write(const QByteArray &frame) {
    const bool queueWasEmpty = port_.bytesToWrite() == 0;
    if (port_.write(frame) != frame.size())
        return false;
    // A command frame on an idle port goes to the driver now rather than on the next turn of
    // the event loop, so it is on the wire the moment the command wrote it. Longer output is
    // left to Qt's write notifier, which feeds the driver as it drains.
    if (queueWasEmpty && frame.size() <= kOutBufferSize)
        port_.flush();
    return true;
}

void SerialLine::takeInWaiting() {
    // Bytes already in the driver are pulled without waiting, so that a count taken between
    // events is up to date.
    int waiting = 0;
    if (::ioctl(port_.handle(), FIONREAD, &waiting) == 0 && waiting > 0)
        port_.waitForReadyRead(0);
}

QByteArray SerialLine::readReceived() {
    return port_.readAll();
}

qint64 SerialLine::queuedBytes() const {
    return port_.bytesToWrite();
}

qint64 SerialLine::unsentBytes() const {
    qint64 unsent = port_.bytesToWrite();
    int queued = 0;
    if (::ioctl(port_.handle(), TIOCOUTQ, &queued) == 0)
        unsent += queued;
    return unsent;
}

qint64 SerialLine::lineTimeMs(qint64 bytes) const {
    const qint64 bitsPerSecond = std::max<qint32>(baud_, 1);
    return (bytes * bitsPerByte_ * 1000 + bitsPerSecond - 1) / bitsPerSecond;
}

void SerialLine::beginDrain() {
    // Twice the line's time for what is queued, and five seconds for a driver slow to start.
    drainDeadline_ = QDeadlineTimer(2 * lineTimeMs(unsentBytes()) + kDrainSlackMs);
}

LineStep SerialLine::drainStep() {
    if (!isOpen() || lost_)
        return LineStep::Failed;
    const qint64 unsent = unsentBytes();
    if (unsent == 0)
        return LineStep::Done;
    if (drainDeadline_.hasExpired())
        return LineStep::Failed;
    // Qt's queue says when the driver took more (bytesWritten); the driver's own queue says
    // nothing as it empties, so it is looked at again when the line should have carried it.
    lookAgain_.start(std::clamp<qint64>(lineTimeMs(unsent), 1, drainDeadline_.remainingTime()));
    return LineStep::Pending;
}

bool SerialLine::hungUp() const {
    pollfd p{port_.handle(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}
