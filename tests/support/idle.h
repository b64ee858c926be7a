#pragma once

#include <QString>

#include <chrono>

// Processor time of this process so far, user and system.
std::chrono::microseconds processCpuTime();

// What an idle event loop cost over a measured interval: processor time and turns of the
// loop. The loop blocks between events and a 10 ms tick turns it about 50 times in 500 ms; a
// dead descriptor left in the loop shows as hundreds of turns or most of the processor time.
struct IdleCost {
    std::chrono::milliseconds interval{};
    std::chrono::microseconds cpu{};
    int turns = 0;
    // Both are looked at: on a loaded machine a spinning loop gets less processor time.
    bool spinning() const;
    QString text() const;
};

// Runs the event loop for the whole of `interval` (the point is the interval itself, there is
// nothing to wait for) and says what that cost.
IdleCost measureIdle(std::chrono::milliseconds interval = std::chrono::milliseconds(500));
