#include "tests/support/idle.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTimer>

#include <sys/resource.h>

std::chrono::microseconds processCpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto time = [](const timeval &t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    return time(usage.ru_utime) + time(usage.ru_stime);
}

bool IdleCost::spinning() const {
    // 40 % of the interval, or a turn every 2.5 ms: 200 ms or 200 turns in 500 ms.
    return cpu * 5 >= interval * 2 || turns * 5 >= interval.count() * 2;
}

QString IdleCost::text() const {
    return QStringLiteral("%1 ms of processor time and %2 turns of the event loop in %3 ms")
        .arg(cpu.count() / 1000)
        .arg(turns)
        .arg(interval.count());
}

IdleCost measureIdle(std::chrono::milliseconds interval) {
    IdleCost cost;
    QTimer tick;
    tick.start(std::chrono::milliseconds(10));
    QElapsedTimer clock;
    const auto before = processCpuTime();
    clock.start();
    QDeadlineTimer end(interval);
    while (!end.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ++cost.turns;
    }
    cost.cpu = processCpuTime() - before;
    cost.interval = std::chrono::milliseconds(clock.elapsed());
    return cost;
}
