#pragma once

#include "serial/win32calls.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <ranges>

enum Quirk {
    NoQuirk,
    EqualXonXoff,     // another program left XonChar == XoffChar; SetCommState refuses that
    SetupCommRefused, // SetupComm fails
    FixedAt9600,      // SetCommState refuses any change; the port runs 9600 8N1
    FixedAt115200,    // the same at 115200
    ZeroReadsAtOnce,  // a read ends at once with nothing, whatever the timeouts say
    HalfWrite,        // a write ends with success and half its bytes (a write timeout)
    PurgedMidWrite,   // none; the test itself purges the frame under way
};

// A COM port's driver at 9600 baud as Windows drivers behave. On a handle opened without
// overlapped I/O every call waits for the one under way, and a read or a write returns when it
// ends. A read ends after the timeouts' total with nothing; a write when the adapter's FIFO
// holds the rest. A pulled adapter fails every later call with its family's error.
class StandInDriver : public Win32Calls {
  public:
    explicit StandInDriver(Quirk quirk) : quirk_(quirk) {
        dcb_.BaudRate = quirk == FixedAt115200 ? 115200 : 9600;
        dcb_.ByteSize = 8;
        dcb_.XonChar = quirk == EqualXonXoff ? 0 : 0x11;
        dcb_.XoffChar = quirk == EqualXonXoff ? 0 : 0x13;
        clock_.start();
    }
    int reads = 0;
    bool writeUnderWay() const {
        return std::ranges::any_of(
            ops_, [](const auto &op) { return op.second.writing && !op.second.ended; });
    }

    // Writes under way end at once with the error; a read when it would have.
    void pull(DWORD error) {
        pulled_ = error;
        for (auto &[io, op] : ops_)
            if (op.writing)
                end(io, op.id, 0, error);
    }

    HANDLE createFile(const wchar_t *, DWORD flags) override {
        overlapped_ = flags & FILE_FLAG_OVERLAPPED;
        return HANDLE(0x5151);
    }
    BOOL closeHandle(HANDLE) override { return TRUE; }
    BOOL getCommState(HANDLE, DCB *dcb) override { return ok(*dcb = dcb_); }
    BOOL setCommState(HANDLE, DCB *dcb) override {
        if (dcb->XonChar == dcb->XoffChar || quirk_ == FixedAt9600 || quirk_ == FixedAt115200)
            return fail(ERROR_INVALID_PARAMETER);
        return ok(dcb_ = *dcb);
    }
    BOOL setCommTimeouts(HANDLE, COMMTIMEOUTS *t) override { return ok(timeouts_ = *t); }
    BOOL setupComm(HANDLE, DWORD, DWORD) override {
        return quirk_ == SetupCommRefused ? fail(ERROR_INVALID_PARAMETER) : ok(0);
    }
    BOOL purgeComm(HANDLE, DWORD flags) override {
        const auto wait = syncWait();
        if (flags & PURGE_TXABORT)
            for (auto &[io, op] : ops_)
                if (op.writing)
                    end(io, op.id, 0, ERROR_OPERATION_ABORTED);
        if (flags & PURGE_TXCLEAR)
            lineFreeMs_ = std::min(lineFreeMs_, now());
        return ok(0);
    }
    BOOL clearCommError(HANDLE, DWORD *errors, COMSTAT *status) override {
        const auto wait = syncWait();
        *errors = 0;
        *status = COMSTAT{};
        status->cbOutQue = DWORD(std::max<qint64>(0, lineFreeMs_ - now()) * 96 / 100);
        return ok(0);
    }
    BOOL readFile(HANDLE, void *, DWORD, DWORD *, OVERLAPPED *io) override {
        ++reads;
        const qint64 waitMs = quirk_ == ZeroReadsAtOnce ? 0 : timeouts_.ReadTotalTimeoutConstant;
        return start(io, false, now() + waitMs, 0);
    }
    BOOL writeFile(HANDLE, const void *, DWORD bytes, DWORD *, OVERLAPPED *io) override {
        // 9600 baud: 0.96 bytes a millisecond; the last 512 wait in the adapter's FIFO.
        lineFreeMs_ = std::max(lineFreeMs_, now()) + bytes * 100 / 96;
        return start(io, true, lineFreeMs_ - 512 * 100 / 96,
                     quirk_ == HalfWrite ? bytes / 2 : bytes);
    }
    BOOL getOverlappedResult(HANDLE, OVERLAPPED *io, DWORD *bytes, BOOL) override {
        const auto found = ops_.find(io);
        if (found == ops_.end() || !found->second.ended)
            return fail(ERROR_IO_INCOMPLETE);
        const Op op = found->second;
        ops_.erase(found);
        *bytes = op.bytes;
        return op.error ? fail(op.error) : ok(0);
    }
    BOOL cancelIoEx(HANDLE, OVERLAPPED *io) override {
        const auto found = ops_.find(io);
        if (found == ops_.end() || found->second.ended)
            return fail(ERROR_NOT_FOUND);
        end(io, found->second.id, 0, ERROR_OPERATION_ABORTED);
        return TRUE;
    }

  private:
    struct Op {
        int id;
        bool writing;
        DWORD bytes;
        DWORD error = 0;
        bool ended = false;
    };
    template <typename T> BOOL ok(const T &) { return pulled_ ? fail(pulled_) : TRUE; }
    BOOL fail(DWORD error) {
        ::SetLastError(error);
        return FALSE;
    }
    qint64 now() const { return clock_.elapsed(); }
    std::unique_lock<std::mutex> syncWait() {
        return overlapped_ ? std::unique_lock<std::mutex>() : std::unique_lock(callUnderWay_);
    }
    BOOL start(OVERLAPPED *io, bool writing, qint64 dueMs, DWORD bytes) {
        if (pulled_)
            return fail(pulled_);
        const auto wait = syncWait();
        ::ResetEvent(io->hEvent);
        const int id = ++lastId_;
        ops_[io] = Op{id, writing, bytes};
        if (!overlapped_) {
            QTest::qSleep(int(std::max<qint64>(0, dueMs - now())));
            ops_.erase(io);
            return TRUE;
        }
        QTimer::singleShot(std::chrono::milliseconds(std::max<qint64>(0, dueMs - now())),
                           [=, this] { end(io, id, pulled_ ? 0 : bytes, pulled_); });
        return fail(ERROR_IO_PENDING);
    }
    void end(OVERLAPPED *io, int id, DWORD bytes, DWORD error) {
        const auto found = ops_.find(io);
        if (found == ops_.end() || found->second.id != id || found->second.ended)
            return;
        found->second = Op{id, found->second.writing, bytes, error, true};
        ::SetEvent(io->hEvent);
    }

    Quirk quirk_;
    DCB dcb_{};
    COMMTIMEOUTS timeouts_{};
    QElapsedTimer clock_;
    qint64 lineFreeMs_ = 0;
    std::map<OVERLAPPED *, Op> ops_;
    std::mutex callUnderWay_;
    DWORD pulled_ = 0;
    bool overlapped_ = false;
    int lastId_ = 0;
};
