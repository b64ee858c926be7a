#include "serial/win32line.h"

#include "serial/win32calls.h"

#include <algorithm>
#include <utility>

namespace {

// What one read takes at most, and what is asked of SetupComm for either direction.
constexpr DWORD kReadChunkBytes = 1024;
constexpr DWORD kQueueBytes = 4096;
// A read ends this long after the last byte that came: at 9600 baud a byte takes about 1 ms,
// so a pause this long ends what the far end sent at once.
constexpr DWORD kReadGapMs = 20;
// A read that gets nothing ends after this; one that ends sooner (some drivers answer at once)
// is not issued again before this has passed since it was, so an idle port wakes the program
// at most five times a second.
constexpr qint64 kReadWaitMs = 200;
// Beyond the line's time for its bytes, how long a write or a drain may take.
constexpr qint64 kWriteSlackMs = 5000;
// How long a close waits for the driver to end a read or a write it was told to cancel.
constexpr qint64 kCancelWaitMs = 500;
// Flow control stays off, yet SetCommState checks these: some programs leave XonChar equal to
// XoffChar, which it refuses (ERROR_INVALID_PARAMETER).
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

HANDLE handleOf(void *port) {
    return static_cast<HANDLE>(port);
}

QString systemMessage(DWORD code) {
    wchar_t *text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = n ? QString::fromWCharArray(text, int(n)).trimmed()
                        : QStringLiteral("Windows error %1").arg(code);
    ::LocalFree(text);
    return message;
}

// Twice a byte's time on the line, whole milliseconds.
DWORD writeMsPerByte(const LineSettings &s) {
    return DWORD((2 * s.timeMs(1000) + 999) / 1000);
}

} // namespace

// One overlapped read or write and what it carries. The driver writes into it until the
// operation ends, so it lives at least that long.
struct Win32Line::Io {
    Io() { overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Io() { ::CloseHandle(overlapped.hEvent); }
    Io(const Io &) = delete;
    Io &operator=(const Io &) = delete;

    OVERLAPPED overlapped{};
    QByteArray data; // the read's buffer, or the frames being written
    QDeadlineTimer issuedAt{QDeadlineTimer::Forever};
    bool pending = false;
    // Ended by our own purge or cancel: its ERROR_OPERATION_ABORTED, or a short end, is ours.
    bool cancelled = false;
};

Win32Line::Win32Line(const QString &device, Win32Calls *calls)
    : device_(device), calls_(calls ? *calls : Win32Calls::system()) {
    readAgain_.setSingleShot(true);
    driverQueue_.setSingleShot(true);
    connect(&readAgain_, &QTimer::timeout, this, &Win32Line::startRead);
    connect(&driverQueue_, &QTimer::timeout, this, &Line::activity);
    connect(&readEnd_, &QWinEventNotifier::activated, this, &Win32Line::readEnded);
    connect(&writeEnd_, &QWinEventNotifier::activated, this, &Win32Line::writeEnded);
}

Win32Line::~Win32Line() {
    // Lets go at once: an operation the driver has not ended by now is cancelled and left to it.
    beginClose();
    if (phase_ != Phase::Closed)
        finishClose();
}

void Win32Line::beginOpen(const LineSettings &settings) {
    if (phase_ != Phase::Closed) {
        beginClose();
        finishClose();
    }
    openError_ = OpenError{};
    openError_.device = device_;
    // An open ends here, at once; a program waiting on steps looks again on the next turn.
    QMetaObject::invokeMethod(this, &Line::activity, Qt::QueuedConnection);
    // \\.\COMn reaches COM10 and above too.
    QString path = device_;
    if (!path.startsWith(QLatin1String("\\\\.\\")))
        path.prepend(QLatin1String("\\\\.\\"));
    const HANDLE port =
        calls_.createFile(reinterpret_cast<const wchar_t *>(path.utf16()), FILE_FLAG_OVERLAPPED);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        failOpen(code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? OpenError::Absent
                 : code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION
                     ? OpenError::Busy
                     : OpenError::Other,
                 QString(), code);
        return;
    }
    port_ = port;
    QString failedCall;
    if (!configure(settings, &failedCall)) {
        const DWORD code = ::GetLastError();
        calls_.closeHandle(port);
        port_ = nullptr;
        failOpen(OpenError::Other, failedCall, code);
        return;
    }
    // Some drivers refuse queue sizes of their caller's choosing and keep their own, which do.
    (void)calls_.setupComm(port, kQueueBytes, kQueueBytes);
    (void)calls_.purgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    read_ = std::make_unique<Io>();
    write_ = std::make_unique<Io>();
    readEnd_.setHandle(read_->overlapped.hEvent);
    writeEnd_.setHandle(write_->overlapped.hEvent);
    readEnd_.setEnabled(true);
    writeEnd_.setEnabled(true);
    phase_ = Phase::Open;
    lost_ = false;
    toSend_.clear();
    received_.clear();
    startRead();
}

void Win32Line::failOpen(OpenError::Kind kind, const QString &failedCall, DWORD code) {
    openError_.kind = kind;
    openError_.failedCall = failedCall;
    openError_.systemMessage = systemMessage(code);
}

LineStep Win32Line::openStep(OpenError *error) {
    if (phase_ == Phase::Open)
        return LineStep::Done;
    *error = openError_;
    return LineStep::Failed;
}

bool Win32Line::configure(const LineSettings &s, QString *failedCall) {
    const HANDLE port = handleOf(port_);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!calls_.getCommState(port, &dcb)) {
        *failedCall = QStringLiteral("GetCommState");
        return false;
    }
    dcb.BaudRate = DWORD(s.baud);
    dcb.ByteSize = BYTE(s.dataBits);
    dcb.fBinary = TRUE;
    dcb.fParity = s.parity != LineSettings::Parity::None;
    static const BYTE parity[] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
    dcb.Parity = parity[int(s.parity)];
    dcb.StopBits = s.stopBits == LineSettings::StopBits::One          ? ONESTOPBIT
                   : s.stopBits == LineSettings::StopBits::OneAndHalf ? ONE5STOPBITS
                                                                      : TWOSTOPBITS;
    // No flow control of any kind, and nothing replaced or dropped on the way.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.XonChar = kXon;
    dcb.XoffChar = kXoff;
    dcb.XonLim = WORD(kQueueBytes / 4);
    dcb.XoffLim = WORD(kQueueBytes / 4);
    if (!calls_.setCommState(port, &dcb)) {
        const DWORD refusal = ::GetLastError();
        // Some drivers refuse any change; a port that already runs these settings serves.
        DCB now{};
        now.DCBlength = sizeof now;
        if (!calls_.getCommState(port, &now) || now.BaudRate != dcb.BaudRate ||
            now.ByteSize != dcb.ByteSize || now.Parity != dcb.Parity ||
            now.StopBits != dcb.StopBits) {
            *failedCall = QStringLiteral("SetCommState (%1)").arg(s.text());
            ::SetLastError(refusal);
            return false;
        }
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = kReadGapMs;
    timeouts.ReadTotalTimeoutConstant = DWORD(kReadWaitMs);
    timeouts.WriteTotalTimeoutMultiplier = writeMsPerByte(s);
    timeouts.WriteTotalTimeoutConstant = DWORD(kWriteSlackMs);
    if (!calls_.setCommTimeouts(port, &timeouts)) {
        *failedCall = QStringLiteral("SetCommTimeouts");
        return false;
    }
    settings_ = s;
    return true;
}

void Win32Line::beginClose() {
    if (phase_ != Phase::Open)
        return;
    // A frame still under way is dropped, as on any port the tool lets go. One that has left
    // the driver's queue is left alone: a purge then would also clear an adapter's own FIFO
    // (and a pseudo-terminal's bytes not yet read), dropping the end of a frame already
    // reported as sent.
    const bool underWay = unsentBytes() > 0;
    phase_ = Phase::Closing;
    toSend_.clear();
    readAgain_.stop();
    driverQueue_.stop();
    if (underWay)
        (void)calls_.purgeComm(handleOf(port_), PURGE_TXABORT | PURGE_TXCLEAR);
    // Wine's purge leaves a write under way alone; a cancel ends it everywhere.
    for (Io *io : {read_.get(), write_.get()}) {
        if (io->pending) {
            io->cancelled = true;
            (void)calls_.cancelIoEx(handleOf(port_), &io->overlapped);
        }
    }
    stepDeadline_ = QDeadlineTimer(kCancelWaitMs);
}

LineStep Win32Line::closeStep() {
    beginClose();
    if (phase_ == Phase::Closed)
        return LineStep::Done;
    readEnded();
    writeEnded();
    if ((read_->pending || write_->pending) && !stepDeadline_.hasExpired())
        return LineStep::Pending;
    finishClose();
    return LineStep::Done;
}

void Win32Line::finishClose() {
    readEnd_.setEnabled(false);
    writeEnd_.setEnabled(false);
    (void)calls_.closeHandle(handleOf(port_));
    // A driver that has not ended a cancelled operation by now may still write into it: it
    // keeps it.
    for (std::unique_ptr<Io> *io : {&read_, &write_})
        if ((*io)->pending)
            (void)io->release();
    read_.reset();
    write_.reset();
    port_ = nullptr;
    phase_ = Phase::Closed;
    toSend_.clear();
    received_.clear();
    ++generation_;
}

bool Win32Line::isOpen() const {
    return phase_ == Phase::Open;
}

bool Win32Line::applySettings(const LineSettings &settings) {
    QString failedCall;
    return phase_ == Phase::Open && configure(settings, &failedCall);
}

bool Win32Line::issued(Io &io, bool done) {
    const DWORD code = done ? 0 : ::GetLastError();
    // Done at once or under way, the end is taken from the event either way.
    io.pending = done || code == ERROR_IO_PENDING;
    if (!io.pending)
        loseLine();
    return io.pending;
}

bool Win32Line::ended(Io &io, DWORD *bytes, DWORD *code) {
    // Reset before the look, so that an end after it sets the event again.
    ::ResetEvent(io.overlapped.hEvent);
    if (!io.pending)
        return false;
    *code = 0;
    if (!calls_.getOverlappedResult(handleOf(port_), &io.overlapped, bytes, FALSE)) {
        *code = ::GetLastError();
        if (*code == ERROR_IO_INCOMPLETE)
            return false;
    }
    io.pending = false;
    return true;
}

void Win32Line::startRead() {
    if (phase_ != Phase::Open || lost_ || read_->pending)
        return;
    read_->data.resize(kReadChunkBytes);
    read_->issuedAt = QDeadlineTimer(kReadWaitMs);
    read_->cancelled = false;
    issued(*read_, calls_.readFile(handleOf(port_), read_->data.data(), kReadChunkBytes, nullptr,
                                   &read_->overlapped));
}

void Win32Line::readEnded() {
    DWORD got = 0;
    DWORD code = 0;
    if (!read_ || !ended(*read_, &got, &code))
        return;
    if (phase_ != Phase::Open) {
        emit activity();
        return;
    }
    // Bytes of a read cancelled by clearReceived came before the purge.
    if (std::exchange(read_->cancelled, false)) {
        startRead();
        return;
    }
    // Windows ends a read that got nothing with success, Wine with ERROR_TIMEOUT. Any other
    // failure is the port gone, whatever the driver calls it: an adapter pulled fails with
    // ERROR_ACCESS_DENIED (CDC, CH340), ERROR_OPERATION_ABORTED (FTDI), ERROR_BAD_COMMAND
    // (PL2303), ERROR_GEN_FAILURE or ERROR_DEVICE_REMOVED.
    if (code != 0 && code != ERROR_TIMEOUT && code != ERROR_SEM_TIMEOUT) {
        loseLine();
        return;
    }
    if (code == 0 && got > 0) {
        received_.append(read_->data.constData(), qsizetype(got));
        startRead();
        emit received();
        emit activity();
        return;
    }
    readAgain_.start(
        std::chrono::milliseconds(std::max<qint64>(0, read_->issuedAt.remainingTime())));
}

bool Win32Line::clearReceived() {
    if (phase_ != Phase::Open)
        return false;
    received_.clear();
    // A read under way may hold bytes that came before the purge; it is ended and its bytes
    // dropped.
    if (read_->pending) {
        read_->cancelled = true;
        (void)calls_.cancelIoEx(handleOf(port_), &read_->overlapped);
    }
    return calls_.purgeComm(handleOf(port_), PURGE_RXCLEAR) != 0;
}

bool Win32Line::clearUnsent() {
    if (phase_ != Phase::Open)
        return false;
    toSend_.clear();
    if (!write_->pending)
        return calls_.purgeComm(handleOf(port_), PURGE_TXCLEAR) != 0;
    write_->cancelled = true;
    const bool purged = calls_.purgeComm(handleOf(port_), PURGE_TXABORT | PURGE_TXCLEAR) != 0;
    // Wine's purge leaves a write under way alone.
    (void)calls_.cancelIoEx(handleOf(port_), &write_->overlapped);
    return purged;
}

bool Win32Line::write(const QByteArray &frame) {
    if (phase_ != Phase::Open || lost_)
        return false;
    toSend_ += frame;
    startWrite();
    return !lost_;
}

void Win32Line::startWrite() {
    if (phase_ != Phase::Open || lost_ || write_->pending || toSend_.isEmpty())
        return;
    write_->data = std::exchange(toSend_, QByteArray());
    write_->cancelled = false;
    issued(*write_, calls_.writeFile(handleOf(port_), write_->data.constData(),
                                     DWORD(write_->data.size()), nullptr, &write_->overlapped));
}

void Win32Line::writeEnded() {
    DWORD written = 0;
    DWORD code = 0;
    if (!write_ || !ended(*write_, &written, &code))
        return;
    const bool whole = code == 0 && written == DWORD(write_->data.size());
    write_->data.clear();
    emit activity();
    if (phase_ != Phase::Open)
        return;
    // Short of the whole frame, and not by our own purge: the adapter was pulled, or the write
    // timed out half done. Either way the frame did not go.
    if (!std::exchange(write_->cancelled, false) && !whole) {
        loseLine();
        return;
    }
    startWrite();
}

void Win32Line::takeInWaiting() {
    readEnded();
}

QByteArray Win32Line::readReceived() {
    return std::exchange(received_, QByteArray());
}

qint64 Win32Line::queuedBytes() const {
    return toSend_.size() + (write_ && write_->pending ? write_->data.size() : 0);
}

qint64 Win32Line::unsentBytes() const {
    if (phase_ != Phase::Open)
        return 0;
    COMSTAT status{};
    DWORD errors = 0;
    const qint64 inDriver =
        calls_.clearCommError(handleOf(port_), &errors, &status) ? status.cbOutQue : 0;
    // Some drivers count a write under way in their queue, others only what it has left.
    return toSend_.size() + std::max<qint64>(write_->pending ? write_->data.size() : 0, inDriver);
}

void Win32Line::beginDrain() {
    stepDeadline_ = QDeadlineTimer(unsentBytes() * writeMsPerByte(settings_) + kWriteSlackMs);
}

LineStep Win32Line::drainStep() {
    writeEnded();
    if (phase_ != Phase::Open || lost_)
        return LineStep::Failed;
    if (queuedBytes() == 0) {
        COMSTAT status{};
        DWORD errors = 0;
        // A driver that cannot tell what it holds has lost its device: the frame did not go.
        if (!calls_.clearCommError(handleOf(port_), &errors, &status)) {
            loseLine();
            return LineStep::Failed;
        }
        if (status.cbOutQue == 0)
            return LineStep::Done;
        // Nothing tells when the driver's queue is empty: a look when it should be.
        driverQueue_.start(std::chrono::milliseconds(settings_.timeMs(status.cbOutQue) + 1));
    }
    return stepDeadline_.hasExpired() ? LineStep::Failed : LineStep::Pending;
}

void Win32Line::loseLine() {
    if (lost_)
        return;
    lost_ = true;
    toSend_.clear();
    readAgain_.stop();
    // Told on the next turn of the loop: the caller may be inside a call on this line.
    QMetaObject::invokeMethod(
        this,
        [this, generation = generation_] {
            if (generation == generation_ && phase_ == Phase::Open)
                emit lost();
            emit activity();
        },
        Qt::QueuedConnection);
}
