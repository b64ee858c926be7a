#include "cli/scan.h"

#include "texts/commandline.h"
#include "texts/messages.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>

#include <functional>
#include <memory>
#include <optional>

#ifdef Q_OS_WIN
#include <windows.h>

#include <atomic>
#else
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <memory>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

// Ctrl+C while the scan runs. The flag is looked at between addresses; a wait under way is cut
// short through the session (CardSession::interrupt), on the event loop. The handler before is
// restored at the end.
std::function<void()> cutShort; // the wait under way
#ifdef Q_OS_WIN

std::atomic<bool> interrupted{false};

BOOL WINAPI onControl(DWORD type) {
    // A second Ctrl+C goes to the system's handler, which ends a program that no longer listens.
    if ((type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) || interrupted.exchange(true))
        return FALSE;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
            if (cutShort)
                cutShort();
        },
        Qt::QueuedConnection);
    return TRUE;
}

class Interruption {
  public:
    Interruption() {
        interrupted = false;
        ::SetConsoleCtrlHandler(onControl, TRUE);
    }
    ~Interruption() { ::SetConsoleCtrlHandler(onControl, FALSE); }
    Interruption(const Interruption &) = delete;
    Interruption &operator=(const Interruption &) = delete;
    bool happened() const { return interrupted; }
};

#else

volatile std::sig_atomic_t interrupted = 0;
int wakeFd = -1; // the self-pipe's writing end, for the handler

extern "C" void onInterrupt(int) {
    const int saved = errno;
    interrupted = 1;
    if (wakeFd >= 0) {
        const char byte = 0;
        [[maybe_unused]] const auto written = ::write(wakeFd, &byte, 1);
    }
    errno = saved;
}

class Interruption {
  public:
    Interruption() {
        interrupted = 0;
        if (::pipe(pipe_) != 0)
            pipe_[0] = pipe_[1] = -1;
        for (const int fd : pipe_)
            if (fd >= 0)
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        if (pipe_[0] >= 0) {
            wakeFd = pipe_[1];
            notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
            QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
                char byte;
                while (::read(pipe_[0], &byte, 1) == 1) {
                }
                if (cutShort)
                    cutShort();
            });
        }
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        // A second Ctrl+C ends the program the usual way, should the first go unheard.
        action.sa_flags = SA_RESTART | SA_RESETHAND;
        installed_ = ::sigaction(SIGINT, &action, &previous_) == 0;
    }
    ~Interruption() {
        if (installed_)
            ::sigaction(SIGINT, &previous_, nullptr);
        wakeFd = -1;
        notifier_.reset();
        for (const int fd : pipe_)
            if (fd >= 0)
                ::close(fd);
    }
    Interruption(const Interruption &) = delete;
    Interruption &operator=(const Interruption &) = delete;
    bool happened() const { return interrupted != 0; }

  private:
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction previous_ {};
    bool installed_ = false;
};

#endif

const QString kCommand = QStringLiteral("scan");

// Every card found restarts: said always, asked on a terminal unless --yes, refused off one.
std::optional<int> confirm(Console &console, const ScanOptions &o) {
    console.error(msg::cli::scanNotice(o.from, o.to));
    if (o.yes)
        return std::nullopt;
    if (!console.interactive())
        return console.failure(kCommand, kExitRefused, msg::cli::kScanNeedsYes);
    const auto answer = console.ask(msg::cli::kScanPrompt);
    if (!answer || !msg::cli::isYes(*answer))
        return console.failure(kCommand, kExitRefused, msg::cli::kScanNotConfirmed);
    return std::nullopt;
}

} // namespace

Task<int> runScan(CardSession &session, Console &console, ScanOptions o) {
    if (const auto refused = confirm(console, o))
        co_return *refused;
    // Only now: Ctrl+C at the question ends the program as it always does.
    const Interruption interruption;
    cutShort = [&session] { session.interrupt(); };
    const std::unique_ptr<std::function<void()>, void (*)(std::function<void()> *)> forget(
        &cutShort, [](std::function<void()> *f) { *f = nullptr; });
    if (const int code = co_await session.open())
        co_return console.failure(kCommand, code, session.error());
    session.setReadWhenWhole(true);

    QJsonArray found;
    int last = o.from - 1; // the last address whose wait ran to its end
    int code = kExitDone;
    QString error;
    for (int address = o.from; address <= o.to && !interruption.happened(); ++address) {
        CardReply card;
        const int result = co_await session.restart(address, &card);
        if (result == kExitDone) {
            found.append(address);
            QJsonObject fields = Console::readBackJson(card);
            fields.insert("command", kCommand);
            fields.insert("restarted", address);
            if (console.json())
                console.json(fields);
            else
                console.line(msg::readBackLine(card));
        } else if (interruption.happened()) {
            break; // the wait was cut short: this address is not known either way
        } else if (result != kExitNoReply) {
            code = result;
            error = session.error();
            console.error(error);
            break;
        }
        last = address;
    }

    if (code == kExitDone && interruption.happened()) {
        code = kExitInterrupted;
        console.error(msg::cli::scanInterrupted(o.from, last));
    } else if (code == kExitDone && found.isEmpty()) {
        code = kExitNoReply;
    }
    QList<int> addresses;
    for (const QJsonValue &a : found)
        addresses << a.toInt();
    console.error(msg::cli::scanSummary(o.from, last, addresses));
    QJsonObject summary{{"from", o.from},
                        {"to", o.to},
                        {"last", last},
                        {"found", found},
                        {"interrupted", code == kExitInterrupted}};
    if (!error.isEmpty())
        summary.insert("error", error);
    console.summary(kCommand, code, summary);
    co_return code;
}
