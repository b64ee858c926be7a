#include "cli/interruption.h"

#include <QCoreApplication>

#ifdef Q_OS_WIN
#include <windows.h>

#include <atomic>
#else
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <iterator>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

std::function<void()> onInterrupt; // of the one Interruption there is

void callOnInterrupt() {
    if (onInterrupt)
        onInterrupt();
}

} // namespace

#ifdef Q_OS_WIN

namespace {

std::atomic<bool> interrupted{false};
HANDLE reported = nullptr; // set when the program has said what it did

BOOL WINAPI onControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    // A second Ctrl+C goes to the system's handler, which ends a program that no longer listens.
    if (interrupted.exchange(true))
        return type == CTRL_CLOSE_EVENT ? TRUE : FALSE;
    QMetaObject::invokeMethod(QCoreApplication::instance(), callOnInterrupt, Qt::QueuedConnection);
    // The system ends the program when this returns, and in any case after five seconds.
    if (type == CTRL_CLOSE_EVENT && reported)
        ::WaitForSingleObject(reported, 4500);
    return TRUE;
}

} // namespace

struct Interruption::Private {};

Interruption::Interruption(std::function<void()> what) : d(std::make_unique<Private>()) {
    onInterrupt = std::move(what);
    interrupted = false;
    reported = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

Interruption::~Interruption() {
    if (reported)
        ::SetEvent(reported);
    ::SetConsoleCtrlHandler(onControl, FALSE);
    onInterrupt = nullptr;
}

bool Interruption::happened() const {
    return interrupted;
}

#else

namespace {

volatile std::sig_atomic_t interrupted = 0;
int wakeFd = -1; // the self-pipe's writing end, for the handler
constexpr int kSignals[] = {SIGINT, SIGTERM};

extern "C" void onSignal(int) {
    const int saved = errno;
    interrupted = 1;
    if (wakeFd >= 0) {
        const char byte = 0;
        [[maybe_unused]] const auto written = ::write(wakeFd, &byte, 1);
    }
    errno = saved;
}

} // namespace

struct Interruption::Private {
    int pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction previous[std::size(kSignals)]{};
    bool installed[std::size(kSignals)]{};
};

Interruption::Interruption(std::function<void()> what) : d(std::make_unique<Private>()) {
    onInterrupt = std::move(what);
    interrupted = 0;
    if (::pipe(d->pipe) != 0)
        d->pipe[0] = d->pipe[1] = -1;
    for (const int fd : d->pipe)
        if (fd >= 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    if (d->pipe[0] >= 0) {
        wakeFd = d->pipe[1];
        d->notifier = std::make_unique<QSocketNotifier>(d->pipe[0], QSocketNotifier::Read);
        QObject::connect(d->notifier.get(), &QSocketNotifier::activated, [fd = d->pipe[0]] {
            char byte;
            while (::read(fd, &byte, 1) == 1) {
            }
            callOnInterrupt();
        });
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // A second signal ends the program the usual way, should the first go unheard.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (std::size_t k = 0; k < std::size(kSignals); ++k)
        d->installed[k] = ::sigaction(kSignals[k], &action, &d->previous[k]) == 0;
}

Interruption::~Interruption() {
    for (std::size_t k = 0; k < std::size(kSignals); ++k)
        if (d->installed[k])
            ::sigaction(kSignals[k], &d->previous[k], nullptr);
    wakeFd = -1;
    d->notifier.reset();
    for (const int fd : d->pipe)
        if (fd >= 0)
            ::close(fd);
    onInterrupt = nullptr;
}

bool Interruption::happened() const {
    return interrupted != 0;
}

#endif
