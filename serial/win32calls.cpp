#include "serial/win32calls.h"

Win32Calls &Win32Calls::system() {
    static Win32Calls calls;
    return calls;
}

HANDLE Win32Calls::createFile(const wchar_t *path, DWORD flags) {
    return ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                         nullptr);
}

BOOL Win32Calls::closeHandle(HANDLE port) {
    return ::CloseHandle(port);
}

BOOL Win32Calls::getCommState(HANDLE port, DCB *dcb) {
    return ::GetCommState(port, dcb);
}

BOOL Win32Calls::setCommState(HANDLE port, DCB *dcb) {
    return ::SetCommState(port, dcb);
}

BOOL Win32Calls::setCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts) {
    return ::SetCommTimeouts(port, timeouts);
}

BOOL Win32Calls::setupComm(HANDLE port, DWORD inQueueBytes, DWORD outQueueBytes) {
    return ::SetupComm(port, inQueueBytes, outQueueBytes);
}

BOOL Win32Calls::purgeComm(HANDLE port, DWORD flags) {
    return ::PurgeComm(port, flags);
}

BOOL Win32Calls::clearCommError(HANDLE port, DWORD *errors, COMSTAT *status) {
    return ::ClearCommError(port, errors, status);
}

BOOL Win32Calls::readFile(HANDLE port, void *buffer, DWORD bytes, DWORD *got, OVERLAPPED *io) {
    return ::ReadFile(port, buffer, bytes, got, io);
}

BOOL Win32Calls::writeFile(HANDLE port, const void *data, DWORD bytes, DWORD *written,
                           OVERLAPPED *io) {
    return ::WriteFile(port, data, bytes, written, io);
}

BOOL Win32Calls::getOverlappedResult(HANDLE port, OVERLAPPED *io, DWORD *bytes, BOOL wait) {
    return ::GetOverlappedResult(port, io, bytes, wait);
}

BOOL Win32Calls::cancelIoEx(HANDLE port, OVERLAPPED *io) {
    return ::CancelIoEx(port, io);
}
