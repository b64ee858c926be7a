#pragma once

#include "serial/line.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QTimer>
#include <QWinEventNotifier>

#include <memory>

class Win32Calls;

// A COM port of Windows (\\.\COMn), held exclusively (share mode 0), in binary mode with the
// line settings given, by SetCommState. The port is opened for overlapped I/O and all of it
// happens on the thread that owns the line: a read waits in the driver, each frame goes out in
// one WriteFile, and the event loop is told when either ends. So a purge, a queue count or new
// settings never wait for a read or a write under way, as every call on a port opened without
// overlapped I/O does on Windows. No WaitCommEvent: Wine aborts it at once.
class Win32Line : public Line {
    Q_OBJECT
  public:
    // calls: the driver's calls, the system's when null; it outlives the line.
    explicit Win32Line(const QString &device, Win32Calls *calls = nullptr);
    ~Win32Line() override;

    bool isOpen() const override;
    bool applySettings(const LineSettings &settings) override;
    bool clearReceived() override;
    bool clearUnsent() override;
    bool write(const QByteArray &frame) override;
    void takeInWaiting() override;
    QByteArray readReceived() override;
    qint64 queuedBytes() const override;
    qint64 unsentBytes() const override;

    void beginOpen(const LineSettings &settings) override;
    LineStep openStep(OpenError *error) override;
    void beginDrain() override;
    LineStep drainStep() override;
    void beginClose() override;
    LineStep closeStep() override;

  private:
    struct Io;
    enum class Phase { Closed, Open, Closing };

    void failOpen(OpenError::Kind kind, const QString &failedCall, unsigned long code);
    bool configure(const LineSettings &settings, QString *failedCall);
    void startRead();
    void startWrite();
    bool issued(Io &io, bool done);
    bool ended(Io &io, unsigned long *bytes, unsigned long *code);
    void readEnded();
    void writeEnded();
    void loseLine();
    void finishClose();
    // Waits up to ms for a read or a write under way to end (for the blocking forms only).

    QString device_;
    Win32Calls &calls_;
    void *port_ = nullptr; // HANDLE while open or closing
    Phase phase_ = Phase::Closed;
    OpenError openError_;
    LineSettings settings_;
    std::unique_ptr<Io> read_;
    std::unique_ptr<Io> write_;
    QWinEventNotifier readEnd_;
    QWinEventNotifier writeEnd_;
    QTimer readAgain_;    // the next read, when one ended at once with nothing
    QTimer driverQueue_;  // a drain's next look at the driver's queue
    QByteArray toSend_;   // frames written and not yet handed to WriteFile
    QByteArray received_; // bytes read and not yet taken
    QDeadlineTimer stepDeadline_;
    unsigned generation_ = 0; // one more at each close: a loss told late is for the line it was
    bool lost_ = false;
};
