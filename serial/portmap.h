#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <functional>

// Which device each of the port numbers 1..8 (COM1..COM8) opens. The numbers are worked out
// afresh from what the machine has at the moment of asking; nothing is stored.
//
// COMn is the on-board port /dev/ttyS(n-1) when that node exists and has hardware behind it.
// The numbers left over go, lowest first, to the adapters: /dev/ttyUSB<k> in the order of k,
// then /dev/ttyACM<k> in the order of k, then any other serial port the system lists that no
// number holds yet, by name.

inline constexpr int kFirstCommPort = 1;
inline constexpr int kLastCommPort = 8;
// The highest number Windows gives a port (COM255); the rule above fills none past COM8.
inline constexpr int kLastPortNumber = 255;

// What an on-board node /dev/ttyS<k> is.
enum class NodeState {
    Absent,  // no such node
    Ghost,   // a node the kernel made for a port without hardware (its port type is unknown)
    Present, // a port, or a tty whose type cannot be learned: it keeps its number
};

// What the machine offers, as the rule sees it.
struct PortInventory {
    // Where the nodes are.
    QString devDir = QStringLiteral("/dev");
    // ttyS0 .. ttyS7 under devDir.
    std::array<NodeState, kLastCommPort> onboard{};
    // Adapter nodes (/dev/ttyUSB<k>, /dev/ttyACM<k>), in any order.
    QStringList adapters;
    // Serial ports the system lists; asked only when a number goes past the adapters, since
    // listing them walks the whole device database.
    std::function<QStringList()> listed;
};

// The device of one port number, or none. Converts from a device name, so a mapping may give
// a plain QString.
struct PortTarget {
    PortTarget() = default;
    PortTarget(QString dev) : device(std::move(dev)) {}
    PortTarget(const char *dev) : device(QString::fromUtf8(dev)) {}

    QString device; // empty: the number has no device
    QString ghost;  // with no device: the on-board node of that number that has no hardware
};

// Maps a port number (1 for COM1) to the device that is opened for it; the program uses
// portDevice, tests their own devices.
using PortMapping = std::function<PortTarget(int number)>;

// The rule itself, on a given inventory.
PortTarget assignPort(int number, const PortInventory &inventory);

// The adapters in the order they take numbers: ttyUSB by k (10 after 9), then ttyACM by k.
QStringList orderAdapters(QStringList adapters);

// The inventory of this machine: nodes under devDir, port types from sysDir, the listed ports
// from QSerialPortInfo.
PortInventory systemInventory(const QString &devDir = QStringLiteral("/dev"),
                              const QString &sysDir = QStringLiteral("/sys"));

// The state of one on-board node, by its sysfs port type (0 is a ghost).
NodeState onboardState(const QString &node, const QString &sysDir = QStringLiteral("/sys"));

// Whether an opened descriptor is an on-board UART whose kernel port type is unknown.
bool isGhostDescriptor(int fd);

// COMn on this machine now: /dev/... on Linux, COMn on Windows.
PortTarget portDevice(int number);

// What the system knows of a device: "/dev/ttyUSB0 — FT232R USB UART (FTDI), SN A10K3XYZ",
// "COM11 — USB-SERIAL CH340 (COM11)", or the device name alone (serial/portlist.cpp).
QString describeDevice(const QString &device);
