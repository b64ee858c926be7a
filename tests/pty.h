#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

// A pseudo-terminal pair: the serial layer opens the slave by its path, the test reads and
// writes the master.
class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return master_ >= 0; }
    QString slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }

    // Reads from the master, running the event loop meanwhile (the serial layer writes from
    // it), until count bytes have arrived or the deadline passes; returns what arrived.
    QByteArray read(qsizetype count, std::chrono::milliseconds deadline = std::chrono::seconds(5));

    // Reads until the bytes end with marker or the deadline passes; returns all that arrived,
    // the marker included.
    QByteArray readUntil(const QByteArray &marker,
                         std::chrono::milliseconds deadline = std::chrono::seconds(5));

    // Writes bytes into the master: the slave's side receives them.
    bool write(const QByteArray &bytes);

    // Closes the master, as a peer that hangs up or a device that goes away.
    void closeMaster();

    // Waits, without running the event loop, until at least count bytes that the master wrote
    // wait unread in the slave's input queue: they are in the driver and nobody has read them.
    bool waitQueuedOnSlave(qsizetype count,
                           std::chrono::milliseconds deadline = std::chrono::seconds(5)) const;

  private:
    int master_ = -1;
    int slave_ = -1; // held open so the slave does not hang up between opens
    QString slavePath_;
};

// Runs the event loop until pred() is true or the deadline passes; returns pred().
template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(5));

// Runs the event loop, blocking between events (a 10 ms tick keeps pred() looked at), until
// pred() is true or the deadline passes, so that the processor time spent meanwhile is what
// the event sources cost, not the waiting; returns pred().
template <typename Pred> bool waitIdleFor(Pred pred, std::chrono::milliseconds deadline);

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

template <typename Pred> bool waitFor(Pred pred, std::chrono::milliseconds deadline) {
    QDeadlineTimer timer(deadline);
    while (!pred()) {
        if (timer.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents();
    }
    return true;
}

template <typename Pred> bool waitIdleFor(Pred pred, std::chrono::milliseconds deadline) {
    QDeadlineTimer timer(deadline);
    QTimer tick;
    tick.start(std::chrono::milliseconds(10));
    while (!pred()) {
        if (timer.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}
