#include "bench/clirun.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds(const timeval &t) {
    return double(t.tv_sec) * 1000 + double(t.tv_usec) / 1000;
}

} // namespace

CliRun runProgram(const std::vector<std::string> &argv, const std::string &errFile,
                  std::chrono::milliseconds limit) {
    CliRun run;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The pty masters and sockets of the signs stay here.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    const Clock::time_point start = Clock::now();
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return run;
    const int pidFd = int(::syscall(SYS_pidfd_open, pid, 0));
    pollfd p{pidFd, POLLIN, 0};
    if (pidFd >= 0 && ::poll(&p, 1, int(limit.count())) == 0) {
        ::kill(pid, SIGKILL);
        run.timedOut = true;
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (pidFd >= 0)
        ::close(pidFd);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.peakKiB = usage.ru_maxrss;
    run.cpuMs = milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
    return run;
}

long raiseOpenFilesLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY ? 1L << 30 : long(limit.rlim_cur);
}
