#pragma once

#include "bench/samples.h"

#include <xcb/xcb.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// A program started by the bench, from the start of its process to its window drawn.
struct StartedProgram {
    pid_t pid = -1;
    xcb_window_t window = 0;
    int x = 0; // the window's place on the screen
    int y = 0;
    double mappedMs = 0;  // process start to the window mapped
    double paintedMs = 0; // process start to the first drawing into the window
    // Processor time the program had used (all its threads) by then: unlike the times above,
    // hardly changed by other programs competing for the processor.
    double mappedCpuMs = 0;
    double paintedCpuMs = 0;
    long peakKiB = 0; // VmHWM once the window has been drawn and stays still
    long anonKiB = 0; // then resident: the program's own memory (RssAnon)
    long fileKiB = 0; // and the mapped files: libraries, fonts (RssFile)
};

// A client of the X server that watches the windows other programs map and draw (through the
// DAMAGE extension) and clicks into them (through XTEST), as an operator would. Only one
// program is watched at a time.
class XSession {
  public:
    // Connects to $DISPLAY; null with a reason in error when the server lacks an extension.
    static std::unique_ptr<XSession> connect(std::string &error);
    ~XSession();
    XSession(const XSession &) = delete;
    XSession &operator=(const XSession &) = delete;

    // Starts argv[0] with stdout and stderr appended to log, waits until its window is mapped
    // and drawn and has stayed still for a moment, and reads its peak resident memory then.
    // Gives up after timeoutMs. env: "NAME=VALUE" entries set for the program only.
    std::optional<StartedProgram> start(const std::vector<std::string> &argv,
                                        const std::string &log, double timeoutMs,
                                        std::string &error,
                                        const std::vector<std::string> &env = {});

    // Asks the window to close, as its close box does, and reaps the process; kills it when it
    // does not end within a few seconds.
    void stop(StartedProgram &program);

    // Presses the left button at (x, y) on the screen and waits until the X server has taken
    // the press and the program has had settleMs to handle it.
    void press(int x, int y, double settleMs);
    // Releases the button: the click happens. Returns when the release has been sent.
    void release();

    // Handles the events that have arrived, without waiting.
    void pump();
    // Handles events until ms have passed.
    void idle(double ms);

  private:
    XSession() = default;
    bool init(std::string &error);
    xcb_atom_t atom(const char *name);
    void handle(xcb_generic_event_t *event, BenchClock::time_point at);
    pid_t windowPid(xcb_window_t window);
    // Waits up to ms for events and handles them; false when nothing came.
    bool waitEvents(double ms);
    void sync();

    struct Watched {
        uint32_t damage = 0;
        bool mapped = false;
        std::optional<BenchClock::time_point> mappedAt;
        std::optional<BenchClock::time_point> firstDamage;
        std::optional<BenchClock::time_point> lastDamage;
        double mappedCpuMs = 0;
        double firstDamageCpuMs = 0;
    };

    xcb_connection_t *c_ = nullptr;
    xcb_window_t root_ = 0;
    uint8_t damageEventBase_ = 0;
    xcb_atom_t wmProtocols_ = 0;
    xcb_atom_t wmDeleteWindow_ = 0;
    xcb_atom_t netWmPid_ = 0;
    std::map<xcb_window_t, Watched> windows_;
    std::vector<xcb_window_t> mappedOrder_;
    pid_t running_ = -1; // the program being started
};
