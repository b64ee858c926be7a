#include "tests/suites.h"
#include "tests/support/pty.h"

#include <QDir>
#include <QProcess>
#include <QTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>

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
        if (!node.isEmpty() && !ownDev && !refused && !QFileInfo::exists("/dev/" + node))
            QSKIP("this machine has no such serial node to route over");
        PtyPair pty;
        QVERIFY(pty.isValid());

        QStringList args;
        if (!node.isEmpty())
            args << pty.slavePath() + QLatin1Char(':') + node;
        if (ownDev)
            args << QStringLiteral("--own-dev");
        args << QStringLiteral("--") << QStringLiteral("sh") << QStringLiteral("-c")
             << QString::fromLatin1(kLookInside) << numbers(pty.slavePath()) << node;
        QProcess inside;
        inside.start(QStringLiteral(STRAVIK_ROUTE_PORTS), args);
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
        if (!ownDev) {
            const QStringList machine =
                QDir(QStringLiteral("/dev"))
                    .entryList({"ttyS*", "ttyUSB*", "ttyACM*"}, QDir::System | QDir::AllEntries);
            for (const QString &n : machine)
                if (n != node)
                    expected << n + QLatin1Char(' ') + numbers(QStringLiteral("/dev/null"));
        }
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
