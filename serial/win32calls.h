#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// The calls a COM port's driver answers, one virtual each, so that a test can stand in for a
// driver as Windows drivers behave where Wine's serial emulation does not. Each takes and
// returns what the kernel32 function of its name does, and a failure leaves GetLastError set.
// The base class makes the kernel32 calls.
class Win32Calls {
  public:
    virtual ~Win32Calls() = default;

    // The one process-wide instance that makes the real calls.
    static Win32Calls &system();

    // CreateFileW for reading and writing, unshared, of an existing device; flags as its
    // dwFlagsAndAttributes.
    virtual HANDLE createFile(const wchar_t *path, DWORD flags);
    virtual BOOL closeHandle(HANDLE port);
    virtual BOOL getCommState(HANDLE port, DCB *dcb);
    virtual BOOL setCommState(HANDLE port, DCB *dcb);
    virtual BOOL setCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts);
    virtual BOOL setupComm(HANDLE port, DWORD inQueueBytes, DWORD outQueueBytes);
    virtual BOOL purgeComm(HANDLE port, DWORD flags);
    virtual BOOL clearCommError(HANDLE port, DWORD *errors, COMSTAT *status);
    virtual BOOL readFile(HANDLE port, void *buffer, DWORD bytes, DWORD *got, OVERLAPPED *io);
    virtual BOOL writeFile(HANDLE port, const void *data, DWORD bytes, DWORD *written,
                           OVERLAPPED *io);
    virtual BOOL getOverlappedResult(HANDLE port, OVERLAPPED *io, DWORD *bytes, BOOL wait);
    virtual BOOL cancelIoEx(HANDLE port, OVERLAPPED *io);
};
