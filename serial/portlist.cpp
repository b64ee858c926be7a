#include "serial/portlist.h"

#include <QRegularExpression>

#ifdef Q_OS_WIN
#include <windows.h>
// windows.h first: SetupAPI's header needs its types.
#include <devguid.h>
#include <setupapi.h>
#else
#include <QSerialPortInfo>
#endif

#include <algorithm>
#include <map>
#include <memory>

namespace {

#ifdef Q_OS_WIN
// The device interface that COM ports register (GUID_DEVINTERFACE_COMPORT of ntddser.h).
constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

// A string value of a registry key; empty when it is missing or no string.
QString registryString(HKEY key, const wchar_t *name) {
    wchar_t value[256] = {};
    DWORD type = 0;
    DWORD sizeBytes = sizeof value - sizeof(wchar_t); // the last character stays the terminator
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value),
                           &sizeBytes) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return QString::fromWCharArray(value);
}

// A device's property; of a list of strings (the hardware ids) the first, the most specific.
QString deviceProperty(HDEVINFO set, SP_DEVINFO_DATA *info, DWORD property) {
    wchar_t value[512] = {};
    if (!::SetupDiGetDeviceRegistryPropertyW(set, info, property, nullptr,
                                             reinterpret_cast<BYTE *>(value),
                                             sizeof value - 2 * sizeof(wchar_t), nullptr))
        return {};
    return QString::fromWCharArray(value);
}

// The present devices of a class or interface that have a COM port, as Device Manager names
// them.
void addDevices(const GUID &guid, DWORD flags, QList<ListedPort> *found) {
    const HDEVINFO set = ::SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | flags);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        const HKEY key =
            ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        const QString name = registryString(key, L"PortName");
        ::RegCloseKey(key);
        // The ports class also holds the printer ports (LPT1).
        const auto number = comNumber(name);
        if (!number)
            continue;
        ListedPort port;
        port.number = *number;
        port.device = portDevice(*number).device;
        port.description = deviceProperty(set, &info, SPDRP_FRIENDLYNAME);
        if (port.description.isEmpty())
            port.description = deviceProperty(set, &info, SPDRP_DEVICEDESC);
        port.usb = usbIdsOf(deviceProperty(set, &info, SPDRP_HARDWAREID));
        found->append(port);
    }
    ::SetupDiDestroyDeviceInfoList(set);
}

// The ports that drivers announce in the SERIALCOMM key, among them virtual COM drivers that
// have no device node: each value names the driver's device ("\Device\Serial10") and holds the
// port's name ("COM11").
void addSerialComm(QList<ListedPort> *found) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                        &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        wchar_t driverDevice[256] = {};
        DWORD driverDeviceLength = std::size(driverDevice);
        wchar_t name[64] = {};
        DWORD type = 0;
        DWORD sizeBytes = sizeof name - sizeof(wchar_t);
        const LSTATUS status = ::RegEnumValueW(key, i, driverDevice, &driverDeviceLength, nullptr,
                                               &type, reinterpret_cast<BYTE *>(name), &sizeBytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || type != REG_SZ)
            continue;
        const auto number = comNumber(QString::fromWCharArray(name));
        if (!number)
            continue;
        ListedPort port;
        port.number = *number;
        port.device = portDevice(*number).device;
        port.description = QString::fromWCharArray(driverDevice);
        found->append(port);
    }
    ::RegCloseKey(key);
}

// Device nodes first: their names are the ones Device Manager shows.
QList<ListedPort> windowsPorts() {
    QList<ListedPort> found;
    addDevices(kComPortInterface, DIGCF_DEVICEINTERFACE, &found);
    addDevices(GUID_DEVCLASS_PORTS, 0, &found);
    addSerialComm(&found);
    return found;
}

void describeFromSystem(QList<ListedPort> &ports) {
    const QList<ListedPort> found = windowsPorts();
    for (ListedPort &port : ports) {
        const auto known = std::find_if(found.begin(), found.end(), [&](const ListedPort &f) {
            return port.present() && f.device.compare(port.device, Qt::CaseInsensitive) == 0;
        });
        if (known != found.end()) {
            port.description = known->description;
            port.usb = known->usb;
        }
    }
}
#else
// "FT232R USB UART (FTDI), SN A10K3XYZ", as much of it as the system knows.
QString descriptionOf(const QSerialPortInfo &info) {
    const QString product = info.description();
    const QString maker = info.manufacturer();
    QString text = product.isEmpty() ? maker : product;
    if (!product.isEmpty() && !maker.isEmpty())
        text += QStringLiteral(" (%1)").arg(maker);
    if (!info.serialNumber().isEmpty())
        text += (text.isEmpty() ? QStringLiteral("SN %1") : QStringLiteral(", SN %1"))
                    .arg(info.serialNumber());
    return text;
}

bool isOnboard(const QString &device) {
    static const QRegularExpression onboard(QStringLiteral("^/dev/ttyS[0-9]+$"));
    return onboard.match(device).hasMatch();
}

// An on-board port has no description to tell, and listing the ports walks the whole device
// database: start-up on COM1 does not wait for it.
void describeFromSystem(QList<ListedPort> &ports) {
    const auto asks = [](const ListedPort &port) {
        return port.present() && !isOnboard(port.device);
    };
    if (std::none_of(ports.begin(), ports.end(), asks))
        return;
    const QList<QSerialPortInfo> listed = QSerialPortInfo::availablePorts();
    for (ListedPort &port : ports) {
        if (!asks(port))
            continue;
        for (const QSerialPortInfo &info : listed) {
            if (info.systemLocation() != port.device && info.portName() != port.device)
                continue;
            port.description = descriptionOf(info);
            if (info.hasVendorIdentifier() && info.hasProductIdentifier())
                port.usb = UsbIds{info.vendorIdentifier(), info.productIdentifier()};
            break;
        }
    }
}
#endif

} // namespace

std::optional<int> comNumber(QStringView name) {
    if (name.size() < 4 || !name.startsWith(u"COM", Qt::CaseInsensitive) || name[3] == u'0')
        return std::nullopt;
    int number = 0;
    for (const QChar c : name.mid(3)) {
        if (c < u'0' || c > u'9' || number > kLastPortNumber)
            return std::nullopt;
        number = number * 10 + (c.unicode() - u'0');
    }
    if (number > kLastPortNumber)
        return std::nullopt;
    return number;
}

std::optional<UsbIds> usbIdsOf(QStringView hardwareId) {
    // USB devices join the ids with '&', FTDI's own bus with '+'.
    static const QRegularExpression pattern(
        QStringLiteral(R"((?:^|[\\&+])VID_([0-9A-F]{4})[&+]PID_([0-9A-F]{4})(?![0-9A-F]))"),
        QRegularExpression::CaseInsensitiveOption);
    const auto m = pattern.match(hardwareId.toString());
    if (!m.hasMatch())
        return std::nullopt;
    return UsbIds{m.captured(1).toUShort(nullptr, 16), m.captured(2).toUShort(nullptr, 16)};
}

QList<ListedPort> listPorts(const QList<ListedPort> &found) {
    std::map<int, ListedPort> byNumber;
    for (int n = kFirstCommPort; n <= kLastCommPort; ++n)
        byNumber[n].number = n;
    for (const ListedPort &port : found) {
        if (port.number < kFirstCommPort || port.number > kLastPortNumber)
            continue;
        ListedPort &merged = byNumber[port.number];
        merged.number = port.number;
        if (merged.device.isEmpty())
            merged.device = port.device;
        if (merged.ghost.isEmpty())
            merged.ghost = port.ghost;
        if (merged.description.isEmpty())
            merged.description = port.description;
        if (!merged.usb)
            merged.usb = port.usb;
    }
    QList<ListedPort> ports;
    for (const auto &[number, port] : byNumber) {
        if (number <= kLastCommPort || port.present())
            ports.append(port);
    }
    return ports;
}

QList<ListedPort> mappedPorts(const PortMapping &mapping) {
    QList<ListedPort> found;
    for (int n = kFirstCommPort; n <= kLastCommPort; ++n) {
        const PortTarget target = mapping(n);
        ListedPort port;
        port.number = n;
        port.device = target.device;
        port.ghost = target.ghost;
        found.append(port);
    }
    describeFromSystem(found);
    return listPorts(found);
}

QList<ListedPort> systemPorts() {
#ifdef Q_OS_WIN
    return listPorts(windowsPorts());
#else
    // One look at the machine for all eight numbers; the system's list, when a number needs
    // it, is taken once.
    PortInventory inventory = systemInventory();
    if (inventory.listed) {
        auto taken = std::make_shared<std::optional<QStringList>>();
        inventory.listed = [list = std::move(inventory.listed), taken] {
            if (!*taken)
                *taken = list();
            return **taken;
        };
    }
    return mappedPorts([&inventory](int number) { return assignPort(number, inventory); });
#endif
}

QString describe(const ListedPort &port) {
    if (port.description.isEmpty())
        return port.device;
    return port.device + QStringLiteral(" — ") + port.description;
}

QString describeDevice(const QString &device) {
    QList<ListedPort> one(1);
    one.front().device = device;
    describeFromSystem(one);
    return describe(one.front());
}
