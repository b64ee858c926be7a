#pragma once

#include "serial/portmap.h"

#include <QList>
#include <QString>
#include <QStringView>

#include <functional>
#include <optional>

// A USB device's vendor and product id.
struct UsbIds {
    quint16 vendor = 0;
    quint16 product = 0;
    bool operator==(const UsbIds &) const = default;
};

// One port as both front ends list it: one of COM1..COM8, present or not, or a port past COM8
// that the machine has.
struct ListedPort {
    int number = 0;
    QString device;      // what the number opens; empty: no device
    QString ghost;       // with no device: the on-board node of the number that has no hardware
    QString description; // what the system calls the device ("USB-SERIAL CH340 (COM11)"), or empty
    std::optional<UsbIds> usb;

    QString name() const { return QStringLiteral("COM%1").arg(number); }
    bool present() const { return !device.isEmpty(); }
    bool operator==(const ListedPort &) const = default;
};

// Finds the ports a front end lists, each time it is asked.
using PortFinder = std::function<QList<ListedPort>()>;

// "COM11", in any case, is 11; nothing for a name that is no port 1..255 ("LPT1", "COM0",
// "COM011").
std::optional<int> comNumber(QStringView name);

// The vendor and product id in a Windows hardware id ("USB\VID_1A86&PID_7523&REV_0254",
// "FTDIBUS\VID_0403+PID_6001+A10K3XYZA\0000"); nothing when it names none.
std::optional<UsbIds> usbIdsOf(QStringView hardwareId);

// The list of the front ends: COM1..COM8 whether found or not, then every port found past COM8,
// in number order. Reports of one number make one port: the first device, description and USB
// ids reported for it stand. A number outside 1..255 is dropped.
QList<ListedPort> listPorts(const QList<ListedPort> &found);

// COM1..COM8 as a mapping gives them (a mapping knows no more), with what the system tells of
// each device.
QList<ListedPort> mappedPorts(const PortMapping &mapping);

// The ports of this machine now: on Windows those that SetupAPI and the SERIALCOMM key report;
// elsewhere COM1..COM8 as portDevice gives them.
QList<ListedPort> systemPorts();

// The port's device as the front ends name it: "COM11 — USB-SERIAL CH340 (COM11)", or the
// device alone when nothing more is known.
QString describe(const ListedPort &port);
