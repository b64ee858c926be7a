#pragma once

#include "card/cardcommands.h"
#include "serial/mscomm.h"
#include "tests/support/pty.h"
#include "tests/support/recordingform.h"

// The openings most tests share, each on a pseudo-terminal pair of its own: the test writes and
// reads the master, the tool holds the slave.

// The serial control open on the slave at 9600 8N1.
struct PortOnPty {
    PortOnPty();
    // Whether the pair exists and the port opened.
    bool ready() const { return ready_; }

    PtyPair pty;
    MSComm port;

  private:
    bool ready_ = false;
};

// The card commands on the serial control open on the slave.
struct CardOnPty : PortOnPty {
    CardCommands card{port};
};

// The window loaded as the program loads it, COM1 on the slave, its message boxes recorded.
struct WindowOnPty {
    WindowOnPty();
    // Whether the window came up with COM1 open, the lamp red and no message.
    bool ready() const { return ready_; }

    PtyPair pty;
    RecordingForm form{pty};

  private:
    bool ready_ = false;
};
