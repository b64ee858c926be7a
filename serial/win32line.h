#pragma once

#include "serial/line.h"

#include <condition_variable>
#include <mutex>
#include <thread>

// A COM port of Windows (\\.\COMn), held exclusively (share mode 0), in binary mode with the
// line settings given, by SetCommState. One worker thread does all the port's I/O with plain (not
// overlapped) calls: each frame goes out in one WriteFile, and between frames a ReadFile that
// returns after a few milliseconds hands what arrived to the event loop. No WaitCommEvent: it is
// not to be relied on everywhere the program runs (Wine aborts it at once).
class Win32Line : public Line {
    Q_OBJECT
  public:
    explicit Win32Line(const QString &device);
    ~Win32Line() override;

    bool open(const LineSettings &settings, OpenError *error) override;
    void close() override;
    bool isOpen() const override;
    bool applySettings(const LineSettings &settings) override;
    bool clearReceived() override;
    bool clearUnsent() override;
    bool write(const QByteArray &frame) override;
    void takeInWaiting() override;
    QByteArray readReceived() override;
    qint64 queuedBytes() const override;
    qint64 unsentBytes() const override;
    bool waitForBytesWritten(int timeoutMs) override;
    bool drain() override;

  private:
    void run();
    void reportLost();

    QString device_;
    void *handle_ = nullptr; // HANDLE; INVALID_HANDLE_VALUE (or null) while closed
    std::thread worker_;

    // Shared with the worker.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    QByteArray toSend_;   // frames written and not yet handed to WriteFile
    qint64 inWrite_ = 0;  // bytes of the WriteFile under way
    QByteArray received_; // bytes read and not yet taken
    bool stop_ = false;
    bool lost_ = false;
};
