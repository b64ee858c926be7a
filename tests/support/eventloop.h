#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <chrono>

// Runs the event loop until pred() is true or the deadline passes; returns pred().
template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    QDeadlineTimer timer(deadline);
    while (!pred()) {
        if (timer.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents();
    }
    return true;
}

// Runs the event loop, blocking between events (a 10 ms tick keeps pred() looked at), until
// pred() is true or the deadline passes, so that the processor time spent meanwhile is what
// the event sources cost, not the waiting; returns pred().
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
