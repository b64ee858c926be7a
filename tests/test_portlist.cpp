#include "serial/portlist.h"
#include "tests/suites.h"

#include <QTest>

Q_DECLARE_METATYPE(ListedPort)

namespace {

ListedPort found(int number, const QString &device, const QString &description = {},
                 std::optional<UsbIds> usb = {}) {
    ListedPort port;
    port.number = number;
    port.device = device;
    port.description = description;
    port.usb = usb;
    return port;
}

// "COM11 COM11 'USB-SERIAL CH340 (COM11)' 1a86:7523", "COM5 -" for a port without a device.
QString summary(const ListedPort &port) {
    if (!port.present())
        return port.name() + (port.ghost.isEmpty() ? QStringLiteral(" -") : " - " + port.ghost);
    QString text = QStringLiteral("%1 %2 '%3'").arg(port.name(), port.device, port.description);
    if (port.usb)
        text += QStringLiteral(" %1:%2")
                    .arg(port.usb->vendor, 4, 16, QLatin1Char('0'))
                    .arg(port.usb->product, 4, 16, QLatin1Char('0'));
    return text;
}

QStringList absent(int from, int to) {
    QStringList list;
    for (int n = from; n <= to; ++n)
        list << QStringLiteral("COM%1 -").arg(n);
    return list;
}

} // namespace

class PortListTest : public QObject {
    Q_OBJECT
  private slots:
    void comNumber_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("number"); // 0: no port
        QTest::newRow("COM1") << "COM1" << 1;
        QTest::newRow("past COM8") << "COM11" << 11;
        QTest::newRow("lower case") << "com13" << 13;
        QTest::newRow("the highest") << "COM255" << 255;
        QTest::newRow("beyond Windows") << "COM256" << 0;
        QTest::newRow("far beyond, no overflow") << "COM99999999999" << 0;
        QTest::newRow("COM0") << "COM0" << 0;
        QTest::newRow("leading zero") << "COM011" << 0;
        QTest::newRow("no number") << "COM" << 0;
        QTest::newRow("printer port") << "LPT1" << 0;
        QTest::newRow("trailing blank") << "COM3 " << 0;
        QTest::newRow("device path") << "\\\\.\\COM3" << 0;
        QTest::newRow("full-width digit") << QStringLiteral("COM１") << 0;
    }
    void comNumber() {
        QFETCH(QString, name);
        QFETCH(int, number);
        QCOMPARE(::comNumber(name).value_or(0), number);
    }

    void usbIds_data() {
        QTest::addColumn<QString>("hardwareId");
        QTest::addColumn<QString>("ids"); // vid:pid, or empty
        QTest::newRow("CH340") << "USB\\VID_1A86&PID_7523&REV_0264"
                               << "1a86:7523";
        QTest::newRow("lower case") << "usb\\vid_0403&pid_6001"
                                    << "0403:6001";
        QTest::newRow("FTDI's bus") << "FTDIBUS\\VID_0403+PID_6015+DN05ABCDA\\0000"
                                    << "0403:6015";
        QTest::newRow("FTDI's port") << "FTDIBUS\\COMPORT&VID_0403&PID_6001"
                                     << "0403:6001";
        QTest::newRow("on-board") << "ACPI\\PNP0501"
                                  << "";
        QTest::newRow("no product") << "USB\\VID_1A86"
                                    << "";
        QTest::newRow("five digits") << "USB\\VID_1A86&PID_75230"
                                     << "";
        QTest::newRow("not hex") << "USB\\VID_1A8G&PID_7523"
                                 << "";
        QTest::newRow("inside a word") << "USB\\XVID_1A86&PID_7523"
                                       << "";
    }
    void usbIds() {
        QFETCH(QString, hardwareId);
        QFETCH(QString, ids);
        const auto usb = usbIdsOf(hardwareId);
        QCOMPARE(usb ? QStringLiteral("%1:%2")
                           .arg(usb->vendor, 4, 16, QLatin1Char('0'))
                           .arg(usb->product, 4, 16, QLatin1Char('0'))
                     : QString(),
                 ids);
    }

    // What the system reported, in its order, and the list both front ends show.
    void listing_data() {
        QTest::addColumn<QList<ListedPort>>("reported");
        QTest::addColumn<QStringList>("listed");
        const UsbIds ch340{0x1a86, 0x7523};
        QTest::newRow("nothing") << QList<ListedPort>{} << absent(1, 8);
        QTest::newRow("device node and SERIALCOMM merged, the node's name first")
            << QList<ListedPort>{found(11, "COM11", "USB-SERIAL CH340 (COM11)", ch340),
                                 found(11, "COM11", "\\Device\\Serial10")}
            << absent(1, 8) + QStringList{"COM11 COM11 'USB-SERIAL CH340 (COM11)' 1a86:7523"};
        QTest::newRow("SERIALCOMM alone names the driver's device")
            << QList<ListedPort>{found(11, "COM11", "\\Device\\Serial10")}
            << absent(1, 8) + QStringList{"COM11 COM11 '\\Device\\Serial10'"};
        QTest::newRow("by number, not by name")
            << QList<ListedPort>{found(13, "COM13"), found(2, "COM2", "Communications Port"),
                                 found(11, "COM11")}
            << QStringList{"COM1 -", "COM2 COM2 'Communications Port'"} + absent(3, 8) +
                   QStringList{"COM11 COM11 ''", "COM13 COM13 ''"};
        ListedPort ghost;
        ghost.number = 2;
        ghost.ghost = "/dev/ttyS1";
        QTest::newRow("outside 1..255 or past COM8 without a device: left out")
            << QList<ListedPort>{found(0, "COM0"), found(256, "COM256"), found(9, ""), ghost}
            << QStringList{"COM1 -", "COM2 - /dev/ttyS1"} + absent(3, 8);
    }
    void listing() {
        QFETCH(QList<ListedPort>, reported);
        QFETCH(QStringList, listed);
        QStringList summaries;
        for (const ListedPort &port : listPorts(reported))
            summaries << summary(port);
        QCOMPARE(summaries, listed);
    }
};

STRAVIK_SUITE("portlist", PortListTest);

#include "test_portlist.moc"
