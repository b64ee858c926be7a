#pragma once

#include "bench/samples.h"

#include <QByteArray>
#include <QPoint>
#include <QString>

// What the bench measures with the window in its own process, COM1 on a pseudo-terminal.
struct InProcessResults {
    // From QTest::mouseRelease on the pressed button to the first byte of the frame readable on
    // the pseudo-terminal's master, in milliseconds.
    Samples restartClick;
    Samples displayTextClick;
    // From the restart frame arriving on the master (the reply written back at once) to the
    // original address list showing the address the reply carries, in milliseconds.
    Samples replyShown;
    int replyTimerMs = 0;
    // The centres of the restart and display-text buttons in the window, in pixels.
    QPoint restartButton;
    QPoint displayTextButton;
    // The frames those buttons send with the window as it starts.
    QByteArray restartFrame;
    QByteArray displayTextFrame;
    // What went wrong (a frame missing or not as built, a message box), or empty.
    QString problem;
};

// Clicks each of the two buttons clicks times, alternating, and restarts replies times with
// the idle time before each click varied, so that the reply timer starts at many phases of the
// event loop's timer slack. Needs a QApplication.
InProcessResults measureInProcess(int clicks, int replies);
