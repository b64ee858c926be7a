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

QString ids(const std::optional<UsbIds> &usb) {
    return usb ? QStringLiteral("%1:%2")
                     .arg(usb->vendor, 4, 16, QLatin1Char('0'))
                     .arg(usb->product, 4, 16, QLatin1Char('0'))
               : QString();
}

// "COM11 COM11 'USB-SERIAL CH340 (COM11)' 1a86:7523", "COM5 -" for a port without a device.
QString summary(const ListedPort &port) {
    if (!port.present())
        return port.name() + (port.ghost.isEmpty() ? QStringLiteral(" -") : " - " + port.ghost);
    return QStringLiteral("%1 %2 '%3' %4")
        .arg(port.name(), port.device, port.description, ids(port.usb))
        .trimmed();
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
        const auto row = [](const char *name, const QString &text, int number) {
            QTest::newRow(name) << text << number;
        };
        row("COM1", "COM1", 1);
        row("past COM8", "COM11", 11);
        row("lower case", "com13", 13);
        row("the highest", "COM255", 255);
        row("beyond Windows", "COM256", 0);
        row("far beyond, no overflow", "COM99999999999", 0);
        row("COM0", "COM0", 0);
        row("leading zero", "COM011", 0);
        row("no number", "COM", 0);
        row("printer port", "LPT1", 0);
        row("full-width digit", QStringLiteral("COM１"), 0);
    }
    void comNumber() {
        QFETCH(QString, name);
        QFETCH(int, number);
        QCOMPARE(::comNumber(name).value_or(0), number);
    }

    void usbIds_data() {
        QTest::addColumn<QString>("hardwareId");
        QTest::addColumn<QString>("expected"); // vid:pid, or empty
        const auto row = [](const char *name, const char *id, const char *expected) {
            QTest::newRow(name) << QString(id) << QString(expected);
        };
        row("CH340", "USB\\VID_1A86&PID_7523&REV_0264", "1a86:7523");
        row("lower case", "usb\\vid_0403&pid_6001", "0403:6001");
        row("FTDI's bus", "FTDIBUS\\VID_0403+PID_6015+DN05ABCDA\\0000", "0403:6015");
        row("FTDI's port", "FTDIBUS\\COMPORT&VID_0403&PID_6001", "0403:6001");
        row("on-board", "ACPI\\PNP0501", "");
        row("no product", "USB\\VID_1A86", "");
        row("five digits", "USB\\VID_1A86&PID_75230", "");
        row("inside a word", "USB\\XVID_1A86&PID_7523", "");
    }
    void usbIds() {
        QFETCH(QString, hardwareId);
        QFETCH(QString, expected);
        QCOMPARE(ids(usbIdsOf(hardwareId)), expected);
    }

    // What the system reported, in its order, and the list both front ends show.
    void listing_data() {
        QTest::addColumn<QList<ListedPort>>("reported");
        QTest::addColumn<QStringList>("listed");
        QTest::newRow("nothing") << QList<ListedPort>{} << absent(1, 8);
        QTest::newRow("device node and SERIALCOMM merged, the node's name first")
            << QList<ListedPort>{found(11, "COM11", "USB-SERIAL CH340 (COM11)", {{0x1a86, 0x7523}}),
                                 found(11, "COM11", "\\Device\\Serial10")}
            << absent(1, 8) + QStringList{"COM11 COM11 'USB-SERIAL CH340 (COM11)' 1a86:7523"};
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
