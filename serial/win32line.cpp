#include "serial/win32line.h"

#include <windows.h>

#include <QDeadlineTimer>

#include <chrono>

namespace {

// How long one ReadFile waits for a first byte: the worker turns to a frame written meanwhile
// no later than this.
constexpr DWORD kReadSliceMs = 10;
// The receive buffer the worker reads into, per ReadFile.
constexpr DWORD kReadChunk = 1024;

HANDLE handleOf(void *h) {
    return static_cast<HANDLE>(h);
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

bool configure(HANDLE h, const LineSettings &s) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h, &dcb))
        return false;
    dcb.BaudRate = DWORD(s.baud);
    dcb.ByteSize = BYTE(s.dataBits);
    dcb.fBinary = TRUE;
    dcb.fParity = s.parity != LineSettings::Parity::None;
    switch (s.parity) {
    case LineSettings::Parity::None:
        dcb.Parity = NOPARITY;
        break;
    case LineSettings::Parity::Odd:
        dcb.Parity = ODDPARITY;
        break;
    case LineSettings::Parity::Even:
        dcb.Parity = EVENPARITY;
        break;
    case LineSettings::Parity::Mark:
        dcb.Parity = MARKPARITY;
        break;
    case LineSettings::Parity::Space:
        dcb.Parity = SPACEPARITY;
        break;
    }
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
    return ::SetCommState(h, &dcb) != 0;
}

} // namespace

Win32Line::Win32Line(const QString &device) : device_(device) {}

Win32Line::~Win32Line() {
    close();
}

bool Win32Line::open(const LineSettings &settings, OpenError *error) {
    close();
    error->device = device_;
    // \\.\COMn reaches COM10 and above too.
    QString path = device_;
    if (!path.startsWith(QLatin1String("\\\\.\\")))
        path.prepend(QLatin1String("\\\\.\\"));
    const HANDLE h =
        ::CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                      0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        error->kind =
            code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND     ? OpenError::Absent
            : code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ? OpenError::Busy
                                                                             : OpenError::Other;
        error->systemMessage = systemMessage(code);
        return false;
    }
    // A read returns what has arrived after at most kReadSliceMs; a write waits as long as its
    // bytes take on the line, and then some.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kReadSliceMs;
    timeouts.WriteTotalTimeoutMultiplier = 2;
    timeouts.WriteTotalTimeoutConstant = 5000;
    if (!configure(h, settings) || !::SetCommTimeouts(h, &timeouts) ||
        !::SetupComm(h, 4096, 4096)) {
        error->kind = OpenError::Other;
        error->systemMessage = systemMessage(::GetLastError());
        ::CloseHandle(h);
        return false;
    }
    ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    handle_ = h;
    stop_ = false;
    lost_ = false;
    toSend_.clear();
    received_.clear();
    inWrite_ = 0;
    worker_ = std::thread([this] { run(); });
    return true;
}

void Win32Line::close() {
    if (!handle_)
        return;
    // A frame still under way is dropped, as on any port the tool lets go. One that has left
    // the driver's queue is left alone: a purge then would also clear an adapter's own FIFO
    // (and a pseudo-terminal's bytes not yet read), dropping the end of a frame already
    // reported as sent.
    const bool underWay = unsentBytes() > 0;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        toSend_.clear();
    }
    changed_.notify_all();
    if (underWay)
        ::PurgeComm(handleOf(handle_), PURGE_TXABORT | PURGE_TXCLEAR);
    if (worker_.joinable())
        worker_.join();
    ::CloseHandle(handleOf(handle_));
    handle_ = nullptr;
    received_.clear();
}

bool Win32Line::isOpen() const {
    return handle_ != nullptr;
}

bool Win32Line::applySettings(const LineSettings &settings) {
    return handle_ && configure(handleOf(handle_), settings);
}

bool Win32Line::clearReceived() {
    if (!handle_)
        return false;
    std::lock_guard lock(mutex_);
    received_.clear();
    return ::PurgeComm(handleOf(handle_), PURGE_RXCLEAR) != 0;
}

bool Win32Line::clearUnsent() {
    if (!handle_)
        return false;
    std::lock_guard lock(mutex_);
    toSend_.clear();
    return ::PurgeComm(handleOf(handle_), PURGE_TXCLEAR) != 0;
}

bool Win32Line::write(const QByteArray &frame) {
    if (!handle_)
        return false;
    {
        std::lock_guard lock(mutex_);
        if (lost_)
            return false;
        toSend_ += frame;
    }
    changed_.notify_all();
    return true;
}

void Win32Line::takeInWaiting() {
    // The worker reads all the time; what it has read is already here.
}

QByteArray Win32Line::readReceived() {
    std::lock_guard lock(mutex_);
    return std::exchange(received_, QByteArray());
}

qint64 Win32Line::queuedBytes() const {
    std::lock_guard lock(mutex_);
    return toSend_.size() + inWrite_;
}

qint64 Win32Line::unsentBytes() const {
    qint64 unsent = queuedBytes();
    COMSTAT status{};
    DWORD errors = 0;
    if (handle_ && ::ClearCommError(handleOf(handle_), &errors, &status))
        unsent += status.cbOutQue;
    return unsent;
}

bool Win32Line::waitForBytesWritten(int timeoutMs) {
    std::unique_lock lock(mutex_);
    const qint64 before = toSend_.size() + inWrite_;
    if (before == 0)
        return false;
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return lost_ || toSend_.size() + inWrite_ < before;
    }) && !lost_;
}

bool Win32Line::drain() {
    // The driver's queue empties at the line's pace; a frame of the longest kind takes 35 s.
    const QDeadlineTimer deadline(std::chrono::seconds(60));
    while (handle_ && unsentBytes() > 0) {
        if (deadline.hasExpired() || lost_)
            return false;
        ::Sleep(5);
    }
    return handle_ && !lost_;
}

void Win32Line::run() {
    const HANDLE h = handleOf(handle_);
    char buffer[kReadChunk];
    for (;;) {
        QByteArray frame;
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                return;
            frame = std::exchange(toSend_, QByteArray());
            inWrite_ = frame.size();
        }
        if (!frame.isEmpty()) {
            DWORD written = 0;
            const BOOL ok =
                ::WriteFile(h, frame.constData(), DWORD(frame.size()), &written, nullptr);
            const DWORD code = ok ? 0 : ::GetLastError();
            {
                std::lock_guard lock(mutex_);
                inWrite_ = 0;
            }
            changed_.notify_all();
            // A purge aborts a write on purpose; anything else is a port gone.
            if (!ok && code != ERROR_OPERATION_ABORTED) {
                reportLost();
                return;
            }
            continue;
        }
        DWORD got = 0;
        if (!::ReadFile(h, buffer, kReadChunk, &got, nullptr)) {
            const DWORD code = ::GetLastError();
            DWORD errors = 0;
            if (code == ERROR_OPERATION_ABORTED && ::ClearCommError(h, &errors, nullptr))
                continue;
            reportLost();
            return;
        }
        if (got == 0)
            continue;
        {
            std::lock_guard lock(mutex_);
            received_.append(buffer, qsizetype(got));
        }
        QMetaObject::invokeMethod(
            this, [this] { emit received(); }, Qt::QueuedConnection);
    }
}

void Win32Line::reportLost() {
    {
        std::lock_guard lock(mutex_);
        lost_ = true;
    }
    changed_.notify_all();
    QMetaObject::invokeMethod(
        this, [this] { emit lost(); }, Qt::QueuedConnection);
}
