#include "window/startupphases.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace startup {
namespace {

struct Entry {
    std::string name;
    double cpuMs;
    double wallMs; // negative: not known
};

struct Trace {
    const char *file = std::getenv("STRAVIK_STARTUP_PHASES");
    bool on = file && *file;
    double lastCpu = 0;
    double lastWall = -1;
    std::vector<Entry> phases;
    std::vector<Entry> kinds;
};

Trace &trace() {
    static Trace t;
    return t;
}

double ms(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void write() {
    Trace &t = trace();
    FILE *out = std::strcmp(t.file, "-") == 0 ? stderr : std::fopen(t.file, "w");
    if (!out)
        return;
    for (const Entry &e : t.phases) {
        if (e.wallMs < 0)
            std::fprintf(out, "%s\t%.3f\t-\n", e.name.c_str(), e.cpuMs);
        else
            std::fprintf(out, "%s\t%.3f\t%.3f\n", e.name.c_str(), e.cpuMs, e.wallMs);
    }
    for (const Entry &e : t.kinds)
        std::fprintf(out, "controls: %s\t%.3f\t%.3f\n", e.name.c_str(), e.cpuMs, e.wallMs);
    if (out != stderr)
        std::fclose(out);
}

// Waits for the window's first paint event; the drawing it starts has ended when the event
// loop next runs a timer.
class FirstPaint : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, this, [this] {
                mark("first paint");
                write();
                deleteLater();
            });
        }
        return false;
    }
};

} // namespace

void mark(const char *phase) {
    Trace &t = trace();
    if (!t.on)
        return;
    const double cpu = ms(CLOCK_PROCESS_CPUTIME_ID);
    const double wall = ms(CLOCK_MONOTONIC);
    t.phases.push_back({phase, cpu - t.lastCpu, t.lastWall < 0 ? -1 : wall - t.lastWall});
    t.lastCpu = cpu;
    t.lastWall = wall;
}

Span::Span(const char *kind) : kind_(kind) {
    if (!trace().on)
        return;
    cpu_ = ms(CLOCK_PROCESS_CPUTIME_ID);
    wall_ = ms(CLOCK_MONOTONIC);
}

Span::~Span() {
    Trace &t = trace();
    if (!t.on)
        return;
    const double cpu = ms(CLOCK_PROCESS_CPUTIME_ID) - cpu_;
    const double wall = ms(CLOCK_MONOTONIC) - wall_;
    for (Entry &e : t.kinds)
        if (e.name == kind_) {
            e.cpuMs += cpu;
            e.wallMs += wall;
            return;
        }
    t.kinds.push_back({kind_, cpu, wall});
}

void reportAfterFirstPaint(QWidget *window) {
    if (trace().on)
        window->installEventFilter(new FirstPaint(window));
}

} // namespace startup
