#pragma once

#include "tests/support/eventloop.h"

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

    // Writes bytes into the slave device by its path, bypassing whoever holds it, waiting while
    // the line is full: a marker written so behind a port that is closed shows, once it
    // arrives at the master, that nothing else is coming.
    bool writeIntoSlave(const QByteArray &bytes) const;

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

// Ends a stream of bytes under test; none of the frames or data the tests send contains it.
const QByteArray &endMarker();
