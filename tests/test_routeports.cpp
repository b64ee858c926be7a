#include "tests/suites.h"
#include "tests/support/pty.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <array>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// scripts/route-ports, which every test, script and the bench route serial lines through: what
// the command inside sees at each serial node of /dev, and bytes it writes to the routed node
// arriving on the pseudo-terminal's master.
namespace {

// major:minor of a character device as stat -c %t:%T prints it, or "" when there is none.
QString numbers(const QString &path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return QStringLiteral("%1:%2").arg(major(st.st_rdev), 0, 16).arg(minor(st.st_rdev), 0, 16);
}

// Run inside: lists every serial node with its device numbers, then writes "ping" to the node
// $1 only if it is the device $0 (so that a broken route never reaches a machine's port).
const char kLookInside[] = R"sh(for n in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
    [ -e "$n" ] && echo "${n#/dev/} $(stat -L -c %t:%T "$n")"
done
if [ -n "$1" ] && [ "$(stat -L -c %t:%T "/dev/$1")" = "$0" ]; then printf ping >"/dev/$1"; fi
exit 0)sh";

// Runs the rest as on a machine with serial ports of its own, needing none: in a private mount
// namespace whose /dev holds the basic devices and, as the machine's ports, the devices of each
// SLAVE:NODE argument up to "--". The real /dev stays reachable under $0 while it is made.
const char kOwnMachine[] = R"sh(set -e
mount --rbind /dev "$0"
mount -t tmpfs -o mode=755 own-machine-dev /dev
for n in null zero full random urandom tty ptmx; do
    touch "/dev/$n" && mount --bind "$0/$n" "/dev/$n"
done
mkdir /dev/pts && mount --rbind "$0/pts" /dev/pts
while [ "$1" != -- ]; do
    touch "/dev/${1##*:}" && mount --bind "${1%:*}" "/dev/${1##*:}" && shift
done
shift && exec "$@")sh";

// The machine's serial ports, each a pseudo-terminal of the test's.
const std::array<QString, 3> kMachinePorts{"ttyS0", "ttyS1", "ttyUSB1"};

} // namespace

class RoutePortsTest : public QObject {
    Q_OBJECT
  private slots:
    void serialNodesInside_data() {
        QTest::addColumn<QString>("node"); // where the pty goes, "" for no route
        QTest::addColumn<bool>("ownDev");
        QTest::addColumn<bool>("refused");
        QTest::newRow("pty on ttyS0, the machine's others /dev/null") << "ttyS0" << false << false;
        QTest::newRow("no route: every serial node /dev/null") << "" << false << false;
        QTest::newRow("own /dev: only the pty, on ttyUSB0") << "ttyUSB0" << true << false;
        QTest::newRow("absent node without own /dev: refused") << "ttyUSB0" << false << true;
    }
    void serialNodesInside() {
        QFETCH(QString, node);
        QFETCH(bool, ownDev);
        QFETCH(bool, refused);
        PtyPair pty;
        std::array<PtyPair, kMachinePorts.size()> machinePorts;
        QTemporaryDir realDev;
        QVERIFY(pty.isValid() && realDev.isValid());

        QStringList args{QStringLiteral("--mount"),
                         QStringLiteral("--propagation"),
                         QStringLiteral("private"),
                         QStringLiteral("sh"),
                         QStringLiteral("-c"),
                         QString::fromLatin1(kOwnMachine),
                         realDev.path()};
        if (::geteuid() != 0)
            args = QStringList{QStringLiteral("--user"), QStringLiteral("--map-root-user")} + args;
        for (std::size_t k = 0; k < kMachinePorts.size(); ++k) {
            QVERIFY(machinePorts[k].isValid());
            args << machinePorts[k].slavePath() + QLatin1Char(':') + kMachinePorts[k];
        }
        args << QStringLiteral("--") << QStringLiteral(STRAVIK_ROUTE_PORTS);
        if (!node.isEmpty())
            args << pty.slavePath() + QLatin1Char(':') + node;
        if (ownDev)
            args << QStringLiteral("--own-dev");
        args << QStringLiteral("--") << QStringLiteral("sh") << QStringLiteral("-c")
             << QString::fromLatin1(kLookInside) << numbers(pty.slavePath()) << node;
        QProcess inside;
        inside.start(QStringLiteral("unshare"), args);
        QVERIFY2(inside.waitForFinished(15000), "route-ports did not end");
        const QString seen = QString::fromLocal8Bit(inside.readAllStandardOutput());
        const QString said = QString::fromLocal8Bit(inside.readAllStandardError());
        if (refused) {
            QVERIFY2(inside.exitCode() != 0 && seen.isEmpty(), qPrintable(seen + said));
            return;
        }
        QVERIFY2(inside.exitStatus() == QProcess::NormalExit && inside.exitCode() == 0,
                 qPrintable(said));

        QStringList expected;
        if (!ownDev)
            for (const QString &n : kMachinePorts)
                if (n != node)
                    expected << n + QLatin1Char(' ') + numbers(QStringLiteral("/dev/null"));
        if (!node.isEmpty())
            expected << node + QLatin1Char(' ') + numbers(pty.slavePath());
        QStringList lines = seen.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        lines.sort();
        expected.sort();
        QCOMPARE(lines, expected);
        if (!node.isEmpty())
            QCOMPARE(pty.read(4), QByteArray("ping"));
    }
};

STRAVIK_SUITE("routeports", RoutePortsTest);

#include "test_routeports.moc"
