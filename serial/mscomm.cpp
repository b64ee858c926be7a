#include "serial/mscomm.h"

#include <QFile>
#include <QSerialPort>

#include <cstring>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

// The receive buffer of the control: bytes beyond it are dropped as on an overrun, so a
// babbling line cannot grow the tool's memory while nobody reads.
constexpr qsizetype kInBufferSize = 1024;

// The control's send buffer: a frame up to this size is handed to the driver at once.
constexpr qsizetype kOutBufferSize = 512;

struct LineSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

std::optional<LineSettings> parseSettings(const QString &text) {
    const QStringList parts = text.split(u',');
    if (parts.size() != 4)
        return std::nullopt;
    LineSettings s;
    bool ok = false;
    s.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || s.baud <= 0)
        return std::nullopt;

    const QString parity = parts[1].trimmed().toLower();
    if (parity == u"n")
        s.parity = QSerialPort::NoParity;
    else if (parity == u"e")
        s.parity = QSerialPort::EvenParity;
    else if (parity == u"o")
        s.parity = QSerialPort::OddParity;
    else if (parity == u"m")
        s.parity = QSerialPort::MarkParity;
    else if (parity == u"s")
        s.parity = QSerialPort::SpaceParity;
    else
        return std::nullopt;

    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return std::nullopt;
    s.dataBits = static_cast<QSerialPort::DataBits>(bits);

    const QString stop = parts[3].trimmed();
    if (stop == u"1")
        s.stopBits = QSerialPort::OneStop;
    else if (stop == u"1.5")
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == u"2")
        s.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return s;
}

#ifdef Q_OS_UNIX
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
#endif

} // namespace

struct MSComm::Private {
    PortMapping mapping;
    QSerialPort port;
    int number = 1;
    LineSettings settings;
    int inputMode = 0;
    int inputLen = 0;
    int sThreshold = 0;
    int rThreshold = 0;
    QByteArray inBuffer;
    QString device;
    OpenError openError;
    bool lost = false; // the device went away; the port closes on the next turn of the loop

    bool usable() const { return port.isOpen() && !lost; }

    bool applySettings() {
        return port.setBaudRate(settings.baud) && port.setParity(settings.parity) &&
               port.setDataBits(settings.dataBits) && port.setStopBits(settings.stopBits) &&
               port.setFlowControl(QSerialPort::NoFlowControl);
    }

    // Moves what Qt has read from the driver into the control's receive buffer.
    void takeArrived() {
        const QByteArray arrived = port.readAll();
        const qsizetype room = kInBufferSize - inBuffer.size();
        if (room > 0)
            inBuffer.append(arrived.left(room));
    }

    // Pulls bytes that are already in the driver, without waiting, so that a count taken
    // between events is up to date.
    void pump() {
#ifdef Q_OS_UNIX
        int waiting = 0;
        if (::ioctl(port.handle(), FIONREAD, &waiting) == 0 && waiting > 0)
            port.waitForReadyRead(0);
#endif
        takeArrived();
    }

    // Whether the line has hung up: the device is gone or the peer closed its side.
    bool hungUp() const {
#ifdef Q_OS_UNIX
        pollfd p{port.handle(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
#else
        return false;
#endif
    }

    void close() {
        if (port.isOpen()) {
#ifdef Q_OS_UNIX
            // A serial driver holds the close until its buffer has drained (up to 30 s), and
            // the window with it. What goes out within a tenth of a second (a settings or
            // restart frame just written) is let go, so exit right after a command still
            // sends it whole; the rest of a long text is dropped, in the driver as in Qt.
            int queued = 0;
            if (::ioctl(port.handle(), TIOCOUTQ, &queued) != 0)
                queued = 0;
            const qint64 unsent = queued + port.bytesToWrite();
            if (!lost && unsent <= settings.baud / 100)
                port.flush();
            else
                ::tcflush(port.handle(), TCOFLUSH);
            ::flock(port.handle(), LOCK_UN);
#endif
            port.close();
        }
        inBuffer.clear();
        lost = false;
    }
};

MSComm::MSComm(PortMapping mapping, QObject *parent) : QObject(parent), d(new Private) {
    d->mapping = std::move(mapping);
    connect(&d->port, &QSerialPort::readyRead, this, [this] { d->takeArrived(); });
    connect(&d->port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        // A device that went away (an adapter pulled, a peer that hung up) leaves the port
        // closed, so that nothing spins on a dead descriptor and the next command reports it.
        // The close waits for the next turn of the loop: QSerialPort is still inside its own
        // notification here.
        // A pty whose peer hung up reads as end of file, which Qt reports as a read error
        // again on every turn of the loop; the hang-up shows in poll.
        if (e == QSerialPort::ResourceError || (e == QSerialPort::ReadError && d->hungUp())) {
            d->lost = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (d->lost) {
                        d->close();
                        emit portLost();
                    }
                },
                Qt::QueuedConnection);
        } else if (e == QSerialPort::TimeoutError)
            d->port.clearError();
    });
}

MSComm::~MSComm() {
    d->close();
}

CommResult MSComm::setCommPort(int number) {
    if (d->usable())
        return CommResult::PortAlreadyOpen;
    if (number < 1 || number > kLastCommPort)
        return CommResult::InvalidValue;
    d->number = number;
    return CommResult::Ok;
}

int MSComm::commPort() const {
    return d->number;
}

CommResult MSComm::setSettings(const QString &settings) {
    const auto parsed = parseSettings(settings);
    if (!parsed)
        return CommResult::InvalidValue;
    d->settings = *parsed;
    if (d->port.isOpen() && !d->applySettings())
        return CommResult::IoError;
    return CommResult::Ok;
}

bool MSComm::portOpen() const {
    return d->usable();
}

CommResult MSComm::setPortOpen(bool open) {
    if (!open) {
        d->close();
        return CommResult::Ok;
    }
    if (d->usable())
        return CommResult::Ok;
    d->close();

    const PortTarget target = d->mapping(d->number);
    const QString &device = target.device;
    d->device = device;
    d->openError = OpenError{};
    const auto fail = [this](OpenError::Kind kind, const QString &why = QString()) {
        d->openError.kind = kind;
        d->openError.device = d->device;
        if (!why.isEmpty())
            d->openError.systemMessage = why;
        return CommResult::OpenFailed;
    };
    if (device.isEmpty()) {
        d->openError.device = target.ghost;
        d->openError.kind = OpenError::NoDevice;
        return CommResult::OpenFailed;
    }
#ifdef Q_OS_UNIX
    d->openError = checkBeforeOpen(device);
    if (d->openError.kind != OpenError::None)
        return CommResult::OpenFailed;
#endif
    d->port.setPortName(device);
    if (!d->port.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = d->port.error();
        const QString why = d->port.errorString();
        d->port.clearError();
        // Qt reports a lock file of another program's, and a device in use, as a permission
        // error; permission itself was looked at before.
        return fail(error == QSerialPort::PermissionError       ? OpenError::Busy
                    : error == QSerialPort::DeviceNotFoundError ? OpenError::Absent
                                                                : OpenError::Other,
                    why);
    }
#ifdef Q_OS_UNIX
    // Qt's lock file in /run/lock keeps out programs that follow that convention; flock keeps
    // out those that lock the descriptor instead (and holds for root, unlike TIOCEXCL).
    if (::flock(d->port.handle(), LOCK_EX | LOCK_NB) != 0) {
        d->port.close();
        return fail(OpenError::Busy);
    }
    // An on-board node without hardware opens, and then sends nothing.
    if (isGhostDescriptor(d->port.handle())) {
        ::flock(d->port.handle(), LOCK_UN);
        d->port.close();
        return fail(OpenError::Ghost);
    }
#endif
    if (!d->applySettings()) {
        const QString why = d->port.errorString();
        d->close();
        return fail(OpenError::Other, why);
    }
    d->inBuffer.clear();
    d->port.clear(QSerialPort::AllDirections);
    d->port.clearError();
    return CommResult::Ok;
}

CommResult MSComm::setInputMode(int mode) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (mode != 0 && mode != 1)
        return CommResult::InvalidValue;
    d->inputMode = mode;
    return CommResult::Ok;
}

CommResult MSComm::setInputLen(int length) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (length < 0 || length > 32767)
        return CommResult::InvalidValue;
    d->inputLen = length;
    return CommResult::Ok;
}

CommResult MSComm::setSThreshold(int bytes) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (bytes < 0 || bytes > 32767)
        return CommResult::InvalidValue;
    d->sThreshold = bytes;
    return CommResult::Ok;
}

CommResult MSComm::setRThreshold(int bytes) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (bytes < 0 || bytes > 32767)
        return CommResult::InvalidValue;
    d->rThreshold = bytes;
    return CommResult::Ok;
}

std::optional<int> MSComm::inBufferCount() {
    if (!d->usable())
        return std::nullopt;
    d->pump();
    if (!d->usable())
        return std::nullopt;
    return static_cast<int>(d->inBuffer.size());
}

CommResult MSComm::setInBufferCount(int count) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (count != 0)
        return CommResult::InvalidValue;
    d->port.readAll();
    d->inBuffer.clear();
    return d->port.clear(QSerialPort::Input) ? CommResult::Ok : CommResult::IoError;
}

CommResult MSComm::setOutBufferCount(int count) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (count != 0)
        return CommResult::InvalidValue;
    return d->port.clear(QSerialPort::Output) ? CommResult::Ok : CommResult::IoError;
}

CommResult MSComm::setOutput(const QByteArray &bytes) {
    if (!d->usable())
        return CommResult::PortClosed;
    if (bytes.isEmpty())
        return CommResult::Ok;
    const bool queueWasEmpty = d->port.bytesToWrite() == 0;
    if (d->port.write(bytes) != bytes.size())
        return CommResult::IoError;
    // A command frame on an idle port goes to the driver now rather than on the next turn of
    // the event loop, so it is on the wire the moment the command wrote it. Longer output is
    // left to Qt's write notifier, which feeds the driver as it drains.
    if (queueWasEmpty && bytes.size() <= kOutBufferSize)
        d->port.flush();
    return CommResult::Ok;
}

std::optional<QByteArray> MSComm::input() {
    if (!d->usable())
        return std::nullopt;
    d->pump();
    if (!d->usable())
        return std::nullopt;
    const qsizetype n =
        d->inputLen == 0 ? d->inBuffer.size() : qMin<qsizetype>(d->inputLen, d->inBuffer.size());
    QByteArray out = d->inBuffer.left(n);
    d->inBuffer.remove(0, n);
    return out;
}

qint64 MSComm::pendingOutput() const {
    return d->usable() ? d->port.bytesToWrite() : 0;
}

qint64 MSComm::unsentBytes() const {
    if (!d->usable())
        return 0;
    qint64 unsent = d->port.bytesToWrite();
#ifdef Q_OS_UNIX
    int queued = 0;
    if (::ioctl(d->port.handle(), TIOCOUTQ, &queued) == 0)
        unsent += queued;
#endif
    return unsent;
}

bool MSComm::waitForBytesWritten(int msecs) {
    return d->usable() && d->port.waitForBytesWritten(msecs);
}

bool MSComm::drain() {
    if (!d->usable())
        return false;
#ifdef Q_OS_UNIX
    int result;
    do
        result = ::tcdrain(d->port.handle());
    while (result != 0 && errno == EINTR);
    return result == 0;
#else
    return d->port.bytesToWrite() == 0;
#endif
}

PortTarget MSComm::target(int number) const {
    if (number < kFirstCommPort || number > kLastCommPort)
        return {};
    return d->mapping(number);
}

QString MSComm::device() const {
    return d->device;
}

const OpenError &MSComm::openError() const {
    return d->openError;
}
