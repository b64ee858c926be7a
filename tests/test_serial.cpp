#include "serial/mscomm.h"
#include "tests/pty.h"
#include "tests/suites.h"

#include <QTest>

class SerialTest : public QObject {
    Q_OBJECT
private slots:
    void allByteValuesArriveUnchanged()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        MSComm comm([&](int) { return pty.slavePath(); });
        QCOMPARE(comm.setSettings(QStringLiteral("9600,n,8,1")), CommResult::Ok);
        QCOMPARE(comm.setPortOpen(true), CommResult::Ok);
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(static_cast<char>(i));
        QCOMPARE(comm.setOutput(all), CommResult::Ok);
        QCOMPARE(pty.read(all.size()), all);
    }
};

STRAVIK_SUITE("serial", SerialTest);
#include "test_serial.moc"
