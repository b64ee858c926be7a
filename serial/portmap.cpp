#include "serial/portmap.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#ifndef Q_OS_WIN
#include <QSerialPortInfo>
#endif

#include <algorithm>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

namespace {

QString onboardNode(const QString &devDir, int index) {
    return devDir + QStringLiteral("/ttyS%1").arg(index);
}

// "ttyUSB12" -> {0, 12}, "ttyACM3" -> {1, 3}; anything else -> {2, -1}.
std::pair<int, long> adapterKey(const QString &device) {
    static const QRegularExpression pattern(QStringLiteral("/tty(USB|ACM)([0-9]+)$"));
    const auto m = pattern.match(device);
    if (!m.hasMatch())
        return {2, -1};
    return {m.captured(1) == u"USB" ? 0 : 1, m.captured(2).toLong()};
}

#ifdef Q_OS_LINUX
// The on-board UARTs are the character devices of major 4 from minor 64 on (ttyS0 and up).
bool isOnboardUart(dev_t rdev) {
    return major(rdev) == 4 && minor(rdev) >= 64;
}
#endif

} // namespace

QStringList orderAdapters(QStringList adapters) {
    std::stable_sort(adapters.begin(), adapters.end(), [](const QString &a, const QString &b) {
        const auto ka = adapterKey(a), kb = adapterKey(b);
        return ka != kb ? ka < kb : a < b;
    });
    return adapters;
}

PortTarget assignPort(int number, const PortInventory &inventory) {
    if (number < kFirstCommPort || number > kLastCommPort)
        return {};
    const int index = number - 1;
    const QString node = onboardNode(inventory.devDir, index);
    if (inventory.onboard[index] == NodeState::Present)
        return PortTarget(node);

    // The place of this number among those the on-board ports leave over.
    int slot = 0;
    for (int k = 0; k < index; ++k)
        slot += inventory.onboard[k] != NodeState::Present ? 1 : 0;

    PortTarget target;
    if (inventory.onboard[index] == NodeState::Ghost)
        target.ghost = node;

    const QStringList adapters = orderAdapters(inventory.adapters);
    if (slot < adapters.size()) {
        target.device = adapters[slot];
        return target;
    }
    slot -= static_cast<int>(adapters.size());
    if (!inventory.listed)
        return target;

    // Ports the system lists beyond the adapters, ttyS0..ttyS7 excepted: each of those either
    // holds its own number or has no hardware.
    static const QRegularExpression onboardName(QStringLiteral("^/dev/ttyS[0-7]$"));
    QStringList others;
    for (const QString &device : inventory.listed()) {
        if (!onboardName.match(device).hasMatch() && !adapters.contains(device) &&
            !others.contains(device))
            others.append(device);
    }
    std::sort(others.begin(), others.end());
    if (slot < others.size())
        target.device = others[slot];
    return target;
}

NodeState onboardState(const QString &node, const QString &sysDir) {
#ifdef Q_OS_LINUX
    struct stat st {};
    if (::stat(QFile::encodeName(node).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return NodeState::Absent;
    // Only an on-board UART has a port type; a pseudo-terminal bound at the node, or any other
    // tty, keeps its number. An unreadable type (no permission) is no proof of a ghost either.
    if (!isOnboardUart(st.st_rdev))
        return NodeState::Present;
    QFile type(
        sysDir +
        QStringLiteral("/dev/char/%1:%2/type").arg(major(st.st_rdev)).arg(minor(st.st_rdev)));
    if (!type.open(QIODevice::ReadOnly))
        return NodeState::Present;
    return type.readAll().trimmed() == "0" ? NodeState::Ghost : NodeState::Present;
#else
    Q_UNUSED(sysDir);
    return QFile::exists(node) ? NodeState::Present : NodeState::Absent;
#endif
}

bool isGhostDescriptor(int fd) {
#ifdef Q_OS_LINUX
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !isOnboardUart(st.st_rdev))
        return false;
    serial_struct info{};
    return ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
#else
    Q_UNUSED(fd);
    return false;
#endif
}

PortInventory systemInventory(const QString &devDir, const QString &sysDir) {
    PortInventory inventory;
    inventory.devDir = devDir;
    for (int k = 0; k < kLastCommPort; ++k)
        inventory.onboard[k] = onboardState(onboardNode(devDir, k), sysDir);

    static const QRegularExpression adapterName(QStringLiteral("^tty(USB|ACM)[0-9]+$"));
    const QDir dir(devDir);
    for (const QString &name : dir.entryList({QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")},
                                             QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (adapterName.match(name).hasMatch())
            inventory.adapters.append(devDir + u'/' + name);
    }
#ifndef Q_OS_WIN
    inventory.listed = [] {
        QStringList devices;
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            devices.append(info.systemLocation());
        return devices;
    };
#endif
    return inventory;
}

PortTarget portDevice(int number) {
#ifdef Q_OS_WIN
    return PortTarget(QStringLiteral("COM%1").arg(number));
#else
    return assignPort(number, systemInventory());
#endif
}
