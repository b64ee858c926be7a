#include "bench/com1route.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char *kCom1Device = "/dev/ttyS0";
constexpr const char *kLockDirectory = "/run/lock";
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

std::string Com1Route::enter() {
    if (::geteuid() != 0)
        return "routing COM1 to a pseudo-terminal needs root (a private mount namespace)";
    struct stat com1 {};
    if (::stat(kCom1Device, &com1) != 0 || !S_ISCHR(com1.st_mode))
        return std::string(kCom1Device) +
               " is not a character device: nothing to route COM1 through";

    if (::unshare(CLONE_NEWNS) != 0)
        return failure("entering a private mount namespace");
    // Without this the mounts below could propagate to the namespace they were copied from.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failure("making the mounts private");
    entered_ = true;

    if (::mount("tmpfs", kLockDirectory, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
        return failure("mounting a private /run/lock");

    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        return failure("opening a pseudo-terminal");
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
    for (const int fd : {master_, slave_})
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    struct stat slave {};
    if (::fstat(slave_, &slave) != 0)
        return failure("reading the pseudo-terminal");
    slaveDevice_ = slave.st_rdev;

    if (::mount(name, kCom1Device, nullptr, MS_BIND, nullptr) != 0)
        return failure(std::string("mounting ") + name + " over " + kCom1Device);
    if (!holds())
        return std::string(kCom1Device) + " is not the pseudo-terminal after the bind mount";
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
