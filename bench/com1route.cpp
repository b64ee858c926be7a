#include "bench/com1route.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *kCom1Device = "/dev/ttyS0";
constexpr const char *kCom1Node = "ttyS0";
// The two ends of the pseudo-terminal, "MASTER SLAVE", for the bench run under route-ports.
constexpr const char *kEndsVariable = "STRAVIK_BENCH_COM1_ENDS";
constexpr const char *kCom1LockFile = "/run/lock/LCK..ttyS0";

std::string failure(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

bool isCharDevice(const char *path, dev_t device) {
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device;
}

} // namespace

Com1Route::~Com1Route() {
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
}

std::string Com1Route::enter(char *argv[]) {
    const char *ends = std::getenv(kEndsVariable);
    if (!ends) {
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            return failure("opening a pseudo-terminal");
        termios raw{};
        ::tcgetattr(slave_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave_, TCSANOW, &raw);
        char self[4096] = {};
        if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
            return failure("finding the bench's own program");
        const std::string fds = std::to_string(master_) + " " + std::to_string(slave_);
        ::setenv(kEndsVariable, fds.c_str(), 1);
        std::string route = std::string(name) + ":" + kCom1Node;
        std::vector<char *> args{const_cast<char *>(STRAVIK_ROUTE_PORTS), route.data(),
                                 const_cast<char *>("--"), self};
        for (char **a = argv + 1; *a; ++a)
            args.push_back(*a);
        args.push_back(nullptr);
        ::execv(STRAVIK_ROUTE_PORTS, args.data());
        return failure(std::string("running ") + STRAVIK_ROUTE_PORTS);
    }
    if (std::sscanf(ends, "%d %d", &master_, &slave_) != 2)
        return std::string("unreadable ") + kEndsVariable + ": " + ends;
    ::unsetenv(kEndsVariable);
    for (const int fd : {master_, slave_})
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    struct stat slave {};
    if (::fstat(slave_, &slave) != 0)
        return failure("reading the pseudo-terminal");
    slaveDevice_ = slave.st_rdev;
    entered_ = true;
    if (!holds())
        return std::string(kCom1Device) + " is not the pseudo-terminal";
    return {};
}

bool Com1Route::holds() const {
    return entered_ && slaveDevice_ != 0 && isCharDevice(kCom1Device, slaveDevice_);
}

bool Com1Route::openedBy(pid_t pid) const {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return false;
    bool found = false;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        if (isCharDevice((dir + "/" + e->d_name).c_str(), slaveDevice_)) {
            found = true;
            break;
        }
    }
    ::closedir(d);
    return found;
}

void Com1Route::drain() const {
    char buf[4096];
    while (master_ >= 0 && ::read(master_, buf, sizeof buf) > 0) {
    }
}

void Com1Route::removeStaleLock() const {
    if (entered_)
        ::unlink(kCom1LockFile);
}
