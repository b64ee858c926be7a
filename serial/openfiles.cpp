#include "serial/openfiles.h"

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

qint64 OpenFilesLimit() {
#ifdef Q_OS_WIN
    return 0;
#else
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0;
    return static_cast<qint64>(limit.rlim_cur);
#endif
}

qint64 RaiseOpenFilesLimit() {
#ifndef Q_OS_WIN
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
    return OpenFilesLimit();
}

bool DescriptorsExhausted(int needed) {
#ifdef Q_OS_WIN
    Q_UNUSED(needed);
    return false;
#else
    int taken[8];
    int count = 0;
    bool exhausted = false;
    for (; count < needed && count < 8; ++count) {
        taken[count] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (taken[count] < 0) {
            exhausted = errno == EMFILE || errno == ENFILE;
            break;
        }
    }
    for (int k = 0; k < count; ++k)
        if (taken[k] >= 0)
            ::close(taken[k]);
    return exhausted;
#endif
}
