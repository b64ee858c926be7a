#include "bench/xsession.h"

#include <xcb/damage.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// A window counts as drawn once no drawing has reached it for this long.
constexpr double kStillMs = 300;
// How long a window may keep drawing (a blinking cursor) before it is taken as drawn anyway.
constexpr double kStillAtMostMs = 3000;
// How long a program has to end after its window was asked to close.
constexpr double kCloseMs = 5000;

// A value from /proc/<pid>/status, in KiB; 0 when absent.
long procStatusKiB(pid_t pid, const std::string &key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
    }
    return 0;
}

// Processor time used so far by all threads of pid, in milliseconds.
double processorMs(pid_t pid) {
    if (pid <= 0)
        return 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = ::opendir(tasks.c_str());
    if (!d)
        return 0;
    double ns = 0;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(tasks + "/" + e->d_name + "/schedstat");
        double onCpu = 0;
        if (in >> onCpu)
            ns += onCpu;
    }
    ::closedir(d);
    return ns / 1e6;
}

} // namespace

std::unique_ptr<XSession> XSession::connect(std::string &error) {
    std::unique_ptr<XSession> s(new XSession);
    if (!s->init(error))
        return nullptr;
    return s;
}

bool XSession::init(std::string &error) {
    int screenNumber = 0;
    c_ = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c_)) {
        error = "cannot connect to the X server named by DISPLAY";
        return false;
    }
    ::fcntl(xcb_get_file_descriptor(c_), F_SETFD, FD_CLOEXEC);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c_));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    root_ = it.data->root;

    const xcb_query_extension_reply_t *damage = xcb_get_extension_data(c_, &xcb_damage_id);
    const xcb_query_extension_reply_t *xtest = xcb_get_extension_data(c_, &xcb_test_id);
    if (!damage || !damage->present || !xtest || !xtest->present) {
        error = "the X server lacks the DAMAGE or the XTEST extension";
        return false;
    }
    damageEventBase_ = damage->first_event;
    std::free(xcb_damage_query_version_reply(c_, xcb_damage_query_version(c_, 1, 1), nullptr));
    std::free(xcb_test_get_version_reply(c_, xcb_test_get_version(c_, 2, 2), nullptr));

    wmProtocols_ = atom("WM_PROTOCOLS");
    wmDeleteWindow_ = atom("WM_DELETE_WINDOW");
    netWmPid_ = atom("_NET_WM_PID");

    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c_, root_, XCB_CW_EVENT_MASK, &mask);
    sync();
    return true;
}

XSession::~XSession() {
    if (c_)
        xcb_disconnect(c_);
}

xcb_atom_t XSession::atom(const char *name) {
    xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(r);
    return a;
}

void XSession::sync() {
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
}

void XSession::handle(xcb_generic_event_t *event, BenchClock::time_point at) {
    const uint8_t type = event->response_type & 0x7f;
    if (type == XCB_CREATE_NOTIFY) {
        const auto *e = reinterpret_cast<xcb_create_notify_event_t *>(event);
        if (e->parent != root_)
            return;
        // Every drawing into the window from now on is reported.
        Watched &w = windows_[e->window];
        w.damage = xcb_generate_id(c_);
        xcb_damage_create(c_, w.damage, e->window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
        xcb_flush(c_);
    } else if (type == XCB_MAP_NOTIFY) {
        const auto *e = reinterpret_cast<xcb_map_notify_event_t *>(event);
        if (e->event != root_)
            return;
        Watched &w = windows_[e->window];
        if (!w.mappedAt) {
            w.mappedAt = at;
            w.mappedCpuMs = processorMs(running_);
        }
        w.mapped = true;
        mappedOrder_.push_back(e->window);
    } else if (type == XCB_UNMAP_NOTIFY) {
        const auto *e = reinterpret_cast<xcb_unmap_notify_event_t *>(event);
        if (auto it = windows_.find(e->window); it != windows_.end())
            it->second.mapped = false;
    } else if (type == XCB_DESTROY_NOTIFY) {
        const auto *e = reinterpret_cast<xcb_destroy_notify_event_t *>(event);
        windows_.erase(e->window);
    } else if (type == damageEventBase_ + XCB_DAMAGE_NOTIFY) {
        const auto *e = reinterpret_cast<xcb_damage_notify_event_t *>(event);
        auto it = windows_.find(e->drawable);
        if (it == windows_.end())
            return;
        Watched &w = it->second;
        if (w.mapped && !w.firstDamage) {
            w.firstDamage = at;
            w.firstDamageCpuMs = processorMs(running_);
        }
        w.lastDamage = at;
        // Emptied, so that the next drawing is reported again.
        xcb_damage_subtract(c_, w.damage, XCB_NONE, XCB_NONE);
        xcb_flush(c_);
    }
}

void XSession::pump() {
    while (xcb_generic_event_t *event = xcb_poll_for_event(c_)) {
        handle(event, BenchClock::now());
        std::free(event);
    }
}

bool XSession::waitEvents(double ms) {
    pump();
    pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(ms));
    if (ready <= 0)
        return false;
    pump();
    return true;
}

void XSession::idle(double ms) {
    const auto until = millisecondsAfter(BenchClock::now(), ms);
    for (auto now = BenchClock::now(); now < until; now = BenchClock::now())
        waitEvents(std::max(1.0, millisecondsBetween(now, until)));
}

pid_t XSession::windowPid(xcb_window_t window) {
    xcb_get_property_reply_t *r = xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, window, netWmPid_, XCB_ATOM_CARDINAL, 0, 1), nullptr);
    pid_t pid = -1;
    if (r && xcb_get_property_value_length(r) == 4)
        pid = static_cast<pid_t>(*static_cast<uint32_t *>(xcb_get_property_value(r)));
    std::free(r);
    return pid;
}

std::optional<StartedProgram> XSession::start(const std::vector<std::string> &argv,
                                              const std::string &log, double timeoutMs,
                                              std::string &error,
                                              const std::vector<std::string> &env) {
    pump();
    mappedOrder_.clear();

    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    // The bench's environment, with the program's own entries in place of those of the same
    // names.
    std::vector<char *> environment;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(env.begin(), env.end(),
                         [&](const std::string &own) { return own.rfind(name, 0) == 0; }))
            environment.push_back(*e);
    }
    for (const std::string &own : env)
        environment.push_back(const_cast<char *>(own.c_str()));
    environment.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

    StartedProgram p;
    const BenchClock::time_point started = BenchClock::now();
    const int spawned =
        ::posix_spawn(&p.pid, args[0], &actions, nullptr, args.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        error = "cannot start " + argv[0] + ": " + std::strerror(spawned);
        return std::nullopt;
    }
    running_ = p.pid;

    const auto deadline = millisecondsAfter(started, timeoutMs);
    std::size_t examined = 0;
    for (;;) {
        const auto now = BenchClock::now();
        if (now >= deadline) {
            error = argv[0] + ": no window drawn within the time allowed";
            break;
        }
        int status = 0;
        if (::waitpid(p.pid, &status, WNOHANG) == p.pid) {
            error = argv[0] + " ended before its window was drawn (see " + log + ")";
            p.pid = -1;
            return std::nullopt;
        }
        waitEvents(std::min(50.0, millisecondsBetween(now, deadline)));

        while (!p.window && examined < mappedOrder_.size()) {
            const xcb_window_t w = mappedOrder_[examined++];
            if (windowPid(w) == p.pid)
                p.window = w;
        }
        if (!p.window)
            continue;
        const Watched &w = windows_[p.window];
        if (!w.firstDamage)
            continue;
        const auto latest = BenchClock::now();
        if (millisecondsBetween(*w.lastDamage, latest) >= kStillMs ||
            millisecondsBetween(*w.mappedAt, latest) >= kStillAtMostMs) {
            p.mappedMs = millisecondsBetween(started, *w.mappedAt);
            p.paintedMs = millisecondsBetween(started, *w.firstDamage);
            p.mappedCpuMs = w.mappedCpuMs;
            p.paintedCpuMs = w.firstDamageCpuMs;
            p.peakKiB = procStatusKiB(p.pid, "VmHWM");
            p.anonKiB = procStatusKiB(p.pid, "RssAnon");
            p.fileKiB = procStatusKiB(p.pid, "RssFile");
            xcb_translate_coordinates_reply_t *t = xcb_translate_coordinates_reply(
                c_, xcb_translate_coordinates(c_, p.window, root_, 0, 0), nullptr);
            if (t) {
                p.x = t->dst_x;
                p.y = t->dst_y;
            }
            std::free(t);
            return p;
        }
    }
    stop(p);
    return std::nullopt;
}

void XSession::stop(StartedProgram &program) {
    if (program.pid <= 0)
        return;
    if (program.window) {
        xcb_client_message_event_t m{};
        m.response_type = XCB_CLIENT_MESSAGE;
        m.format = 32;
        m.window = program.window;
        m.type = wmProtocols_;
        m.data.data32[0] = wmDeleteWindow_;
        m.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c_, 0, program.window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char *>(&m));
        xcb_flush(c_);
    } else {
        ::kill(program.pid, SIGTERM);
    }
    int status = 0;
    const auto deadline = millisecondsAfter(BenchClock::now(), kCloseMs);
    pid_t ended = 0;
    while ((ended = ::waitpid(program.pid, &status, WNOHANG)) == 0 && BenchClock::now() < deadline)
        waitEvents(5);
    if (ended == 0) {
        ::kill(program.pid, SIGKILL);
        ::waitpid(program.pid, &status, 0);
    }
    program.pid = -1;
    running_ = -1;
    pump();
}

void XSession::press(int x, int y, double settleMs) {
    xcb_test_fake_input(c_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, static_cast<int16_t>(x),
                        static_cast<int16_t>(y), XCB_NONE);
    xcb_test_fake_input(c_, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, XCB_NONE);
    sync();
    idle(settleMs);
}

void XSession::release() {
    xcb_test_fake_input(c_, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, XCB_NONE);
    xcb_flush(c_);
}
