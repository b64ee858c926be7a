#include "tests/suites.h"
#include "tests/support/cardprocess.h"
#include "tests/support/eventloop.h"
#include "tests/support/ser2netserver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringEncoder>
#include <QTemporaryFile>
#include <QTest>

#include <memory>
#include <set>

using namespace std::chrono_literals;

namespace {

QString cliProgram() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../cli/stravik-cli");
}

// 欢迎 as the text shown now, to address 1.
const QByteArray kTextFrame = QByteArray::fromHex("81c0440b0b0b060d030a0d1a");

struct Finished {
    int exit = -1;
    QString out, err;
};

Finished runCli(const QStringList &args) {
    QProcess cli;
    cli.start(cliProgram(), args);
    Finished f;
    if (!waitFor([&] { return cli.state() == QProcess::NotRunning; }, 60s)) {
        cli.kill();
        cli.waitForFinished();
        f.err = QStringLiteral("stravik-cli did not end");
        return f;
    }
    f.exit = cli.exitCode();
    f.out = QString::fromUtf8(cli.readAllStandardOutput());
    f.err = QString::fromUtf8(cli.readAllStandardError());
    return f;
}

} // namespace

// Many lines in one run: twenty device-server connections through one ser2net, raw and
// RFC 2217 taking turns. Behind the first eight are virtual cards (two cards on every other
// line), behind the rest bare pseudo-terminals whose bytes the test reads.
class FleetTest : public QObject {
    Q_OBJECT

    static constexpr int kLines = 20;
    static constexpr int kCardLines = 8;

    std::vector<std::unique_ptr<CardProcess>> cards_;
    std::unique_ptr<Ser2netServer> server_;
    QTemporaryFile portsFile_;
    QString unserved_;

    bool twoCards(int line) const { return line % 2 == 0; }

  private slots:
    void initTestCase() {
        if (ser2net().isEmpty())
            QSKIP("Debian's ser2net is not installed");
        std::vector<Ser2netServer::Connection> connections;
        for (int line = 0; line < kLines; ++line) {
            QString device;
            if (line < kCardLines) {
                cards_.push_back(std::make_unique<CardProcess>(twoCards(line) ? "1,2" : "1"));
                QVERIFY(cards_.back()->started());
                device = cards_.back()->slavePath();
            }
            connections.push_back(
                line % 2
                    ? Ser2netServer::Connection("telnet(rfc2217),tcp", "rfc2217", "9600n81", device)
                    : Ser2netServer::Connection("tcp", "tcp", "9600n81", device));
        }
        server_ = std::make_unique<Ser2netServer>(connections);
        QVERIFY2(server_->listening(), qPrintable(server_->config()));
        unserved_ = QStringLiteral("tcp://127.0.0.1:%1").arg(freePort());
        QVERIFY(portsFile_.open());
        QString listed = QStringLiteral("# the signs of the test\n\n");
        for (int line = 0; line < kLines; ++line) {
            listed += server_->address(line) + u'\n';
            if (line == kLines / 2)
                listed += QStringLiteral("  %1  \n# nobody serves the line above\n").arg(unserved_);
        }
        portsFile_.write(listed.toUtf8());
        portsFile_.flush();
    }

    // One invocation puts the frame on every line, byte for byte; the line nobody serves fails
    // alone, with its message, and the run's exit code is its.
    void textOnEveryLine() {
        const Finished f = runCli(
            {"text", "1", QStringLiteral("欢迎"), "--ports", portsFile_.fileName(), "--jobs", "6"});
        QVERIFY2(f.exit == 2, qPrintable(f.out + f.err));
        for (int line = 0; line < kLines; ++line) {
            const QString address = server_->address(line);
            QVERIFY2(f.out.contains(address + QStringLiteral("：发送地址1显示信息(4)")),
                     qPrintable(address + u'\n' + f.out));
            if (line < kCardLines) {
                const QString frame = QString::fromLatin1(kTextFrame.toHex(' ').toUpper());
                QVERIFY2(!cards_[std::size_t(line)]->waitForLineStarting(frame + "  ").isEmpty(),
                         qPrintable(cards_[std::size_t(line)]->transcript()));
            } else {
                QCOMPARE(server_->pty(line).read(kTextFrame.size(), 5s).toHex(' '),
                         kTextFrame.toHex(' '));
            }
        }
        QVERIFY2(!f.out.contains(unserved_), qPrintable(f.out));
        QVERIFY2(f.err.contains(unserved_ + QStringLiteral("：无法连接")), qPrintable(f.err));
        QVERIFY2(f.err.contains(QStringLiteral("共 21 条线路：成功 20，失败 1。")),
                 qPrintable(f.err));
    }

    // A restart with read-back on every card line: the second card answers where there is one,
    // and the lines without it fail alone with "no reply".
    void restartReadsEveryLine() {
        QStringList args{"restart", "2", "--json"};
        for (int line = 0; line < kCardLines; ++line)
            args << "--port" << server_->address(line);
        const Finished f = runCli(args);
        QVERIFY2(f.exit == 3, qPrintable(f.out + f.err));
        std::set<QString> answered, silent;
        for (const QString &json : f.out.split(u'\n', Qt::SkipEmptyParts)) {
            const QJsonObject o = QJsonDocument::fromJson(json.toUtf8()).object();
            (o["exit"].toInt() == 0 ? answered : silent).insert(o["port"].toString());
            if (o["exit"].toInt() == 0)
                QCOMPARE(o["address"].toInt(), 2);
        }
        std::set<QString> withTwo, withOne;
        for (int line = 0; line < kCardLines; ++line)
            (twoCards(line) ? withTwo : withOne).insert(server_->address(line));
        QVERIFY2(answered == withTwo, qPrintable(f.out));
        QVERIFY2(silent == withOne, qPrintable(f.out));
    }

    // A plan saved by a Chinese Excel (code page 936, the window's column names) sets every
    // card on the card lines, two on some, and reads each back; the rows of one line run one
    // after another.
    void applyPlan() {
        QString plan = QStringLiteral("串口,原地址,新地址,行数,每行汉字数,数据正反向,OE正反向,"
                                      "扫描方式,初始显示信息,显示信息\r\n");
        int rows = 0;
        for (int line = 0; line < kCardLines; ++line)
            for (int card = 1; card <= (twoCards(line) ? 2 : 1); ++card, ++rows)
                plan += QStringLiteral("%1,%2,%3,2,8,正向,反向,全屏,欢迎,\"第%4块,好\"\r\n")
                            .arg(server_->address(line))
                            .arg(card)
                            .arg(card + 10)
                            .arg(line);
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(QStringEncoder("GBK").encode(plan));
        file.flush();
        const Finished f = runCli({"apply", file.fileName(), "--jobs", "3"});
        QVERIFY2(f.exit == 0, qPrintable(f.out + f.err));
        QCOMPARE(f.out.count(QStringLiteral("；读回一致；")), rows);
        QVERIFY2(f.err.contains(QStringLiteral("计划共 %1 行，全部完成。").arg(rows)),
                 qPrintable(f.err));
        for (int line = 0; line < kCardLines; ++line) {
            CardProcess &card = *cards_[std::size_t(line)];
            for (int address = 11; address <= (twoCards(line) ? 12 : 11); ++address) {
                const QString state = QStringLiteral("card %1: rows 2 chars 8 flags 0x01 scan 1 "
                                                     "initial \"欢迎\" text \"第%2块,好\"")
                                          .arg(address)
                                          .arg(line);
                QVERIFY2(!card.waitForLineStarting(state, 0, 10s).isEmpty(),
                         qPrintable(state + u'\n' + card.transcript()));
            }
        }
    }

    // One bad cell refuses the whole plan: every bad cell is named, and no line hears a byte.
    void badPlanSendsNothing() {
        const QString plan =
            QStringLiteral("port,address,rows,text\n%1,1,2,a\n%2,1,x,b\n%3,256,2,c\n")
                .arg(server_->address(kCardLines), server_->address(kCardLines + 1),
                     server_->address(kCardLines + 2));
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(plan.toUtf8());
        file.flush();
        const Finished f = runCli({"apply", file.fileName()});
        QVERIFY2(f.exit == 5, qPrintable(f.out + f.err));
        QVERIFY2(f.err.contains(QStringLiteral("第 3 行 rows")) &&
                     f.err.contains(QStringLiteral("第 4 行 address")),
                 qPrintable(f.err));
        for (int line = kCardLines; line < kCardLines + 3; ++line)
            QCOMPARE(server_->pty(line).read(1, 300ms), QByteArray());
    }

    // A ports file that names a line twice, or none, is a usage error and nothing is sent.
    void portsRefused() {
        const QString once = server_->address(kCardLines);
        const Finished twice = runCli({"text", "1", "x", "--port", once, "--port", once});
        QVERIFY2(twice.exit == 1 && twice.err.contains(QStringLiteral("给了两次")),
                 qPrintable(twice.err));
        QTemporaryFile empty;
        QVERIFY(empty.open());
        empty.write("# nothing here\n\n");
        empty.flush();
        const Finished none = runCli({"text", "1", "x", "--ports", empty.fileName()});
        QVERIFY2(none.exit == 1, qPrintable(none.err));
        QCOMPARE(server_->pty(kCardLines).read(1, 300ms), QByteArray());
    }
};

STRAVIK_SUITE("fleet", FleetTest);

#include "test_fleet.moc"
