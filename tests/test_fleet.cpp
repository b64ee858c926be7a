#include "tests/suites.h"
#include "tests/support/cardprocess.h"
#include "tests/support/delayproxy.h"
#include "tests/support/eventloop.h"
#include "tests/support/ser2netserver.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <QElapsedTimer>

#include <map>
#include <memory>
#include <set>

#include <csignal>

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

// program may be a wrapper that runs stravik-cli (prlimit).
Finished runCli(const QStringList &args, const QString &program = cliProgram()) {
    QProcess cli;
    cli.start(program, args);
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

std::vector<QJsonObject> jsonLines(const QString &out) {
    std::vector<QJsonObject> objects;
    for (const QString &line : out.split(u'\n', Qt::SkipEmptyParts))
        objects.push_back(QJsonDocument::fromJson(line.toUtf8()).object());
    return objects;
}

QTemporaryFile *writtenFile(QTemporaryFile &file, const QByteArray &bytes) {
    if (!file.open())
        return nullptr;
    file.write(bytes);
    file.flush();
    return &file;
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

    // Ctrl+C while a run is under way on links of different speeds: no line starts after it,
    // every line is named once with what became of it, a line said done had its whole frame
    // reach its device, and the run ends with 130 within two seconds of the signal.
    void interruptNamesEveryLine_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("Ctrl+C") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
    }
    void interruptNamesEveryLine() {
        QFETCH(int, signal);
        // Two raw lines straight to the server, then RFC 2217 lines, whose open waits for the
        // server's answers: two over a slow link, four over one so slow that they are still
        // opening at the signal. At most five at once: the last never starts.
        constexpr int kLines = 8;
        const std::chrono::milliseconds roundTrips[kLines] = {0ms, 0ms, 400ms, 400ms,
                                                              3s,  3s,  3s,    3s};
        std::vector<Ser2netServer::Connection> connections(2, {"tcp", "tcp"});
        connections.resize(kLines, {"telnet(rfc2217),tcp", "rfc2217"});
        Ser2netServer server(connections);
        QVERIFY(server.listening());
        std::vector<std::unique_ptr<DelayProxy>> proxies;
        QStringList args{"text", "1", QString(300, QChar(0x6B22)), "--json", "--jobs", "5"};
        QStringList ports;
        for (int line = 0; line < kLines; ++line) {
            QString port = server.address(line);
            if (roundTrips[line] > 0ms) {
                proxies.push_back(
                    std::make_unique<DelayProxy>("127.0.0.1", server.port(line), roundTrips[line]));
                port = QStringLiteral("rfc2217://127.0.0.1:%1").arg(proxies.back()->port());
            }
            ports << port;
            args << "--port" << port;
        }
        QProcess cli;
        cli.start(cliProgram(), args);
        QByteArray out;
        QVERIFY2(waitFor([&] { return (out += cli.readAllStandardOutput()).contains('\n'); }, 10s),
                 cli.readAllStandardError().constData());
        QElapsedTimer sinceSignal;
        sinceSignal.start();
        ::kill(static_cast<pid_t>(cli.processId()), signal);
        QVERIFY(waitFor([&] { return cli.state() == QProcess::NotRunning; }, 5s));
        QVERIFY2(sinceSignal.elapsed() < 2000, qPrintable(QString::number(sinceSignal.elapsed())));
        const QString err = QString::fromUtf8(cli.readAllStandardError());
        QCOMPARE(cli.exitCode(), 130);
        std::map<QString, QString> status;
        for (const QJsonObject &o :
             jsonLines(QString::fromUtf8(out + cli.readAllStandardOutput()))) {
            QVERIFY2(status.emplace(o["port"].toString(), o["status"].toString()).second,
                     qPrintable(o["port"].toString() + u'\n' + err));
            if (o["status"].toString() == u"done")
                QCOMPARE(server.pty(int(ports.indexOf(o["port"].toString())))
                             .read(o["frameBytes"].toInteger(), 5s)
                             .size(),
                         o["frameBytes"].toInteger());
        }
        QCOMPARE(status.size(), std::size_t(kLines));
        QVERIFY2(status[ports[7]] == u"notStarted" && status[ports[4]] == u"interrupted",
                 qPrintable(err));
        QVERIFY2(err.contains(QStringLiteral("已中断（Ctrl+C）。共 8 条线路")), qPrintable(err));
    }

    // Under a hard limit of 64 open files, 150 lines at once: a line that finds no descriptor
    // free waits for another to let go, and every line ends done.
    void manyLinesUnderFileLimit() {
        if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty())
            QSKIP("prlimit is not installed");
#ifdef __SANITIZE_ADDRESS__
        // The sanitizers' runtime opens files of its own to check a type, and finds none free
        // while the lines hold every descriptor: the case runs in the plain build.
        QSKIP("the sanitizers need descriptors of their own");
#endif
        constexpr int kMany = 150;
        Ser2netServer server(std::vector<Ser2netServer::Connection>(kMany, {"tcp", "tcp"}));
        QVERIFY(server.listening());
        QByteArray listed;
        for (int line = 0; line < kMany; ++line)
            listed += server.address(line).toUtf8() + '\n';
        QTemporaryFile file;
        QVERIFY(writtenFile(file, listed));
        const Finished f =
            runCli({"--nofile=64:64", cliProgram(), "text", "1", QStringLiteral("欢迎"), "--ports",
                    file.fileName(), "--jobs", "150"},
                   QStandardPaths::findExecutable(QStringLiteral("prlimit")));
        QVERIFY2(f.exit == 0, qPrintable(f.err.left(2000)));
        QVERIFY2(f.err.contains(QStringLiteral("共 150 条线路，全部成功。")), qPrintable(f.err));
        for (int line = 0; line < kMany; ++line)
            QCOMPARE(server.pty(line).read(kTextFrame.size(), 5s).toHex(' '),
                     kTextFrame.toHex(' '));
    }

    // The settings two cards report, saved with --plan, put back on fresh cards by apply: by a
    // scan of one line, and by a restart over two.
    void planRestoresSettings_data() {
        QTest::addColumn<QStringList>("cardsOnLines");
        QTest::addColumn<QStringList>("command");
        QTest::newRow("scan") << QStringList{"1,2"} << QStringList{"scan", "--yes", "--to", "2"};
        QTest::newRow("restart") << QStringList{"1", "1"} << QStringList{"restart", "1"};
    }
    void planRestoresSettings() {
        QFETCH(QStringList, cardsOnLines);
        QFETCH(QStringList, command);
        std::vector<std::unique_ptr<CardProcess>> first, fresh;
        QStringList states;
        for (const QString &cards : cardsOnLines) {
            first.push_back(std::make_unique<CardProcess>(cards));
            fresh.push_back(std::make_unique<CardProcess>(cards));
            QVERIFY(first.back()->started() && fresh.back()->started());
            for (const QString &address : cards.split(u',')) {
                const int n = address.toInt() + int(states.size());
                QCOMPARE(runCli({"set", address, "--port", first.back()->slavePath(), "--rows",
                                 QString::number(n + 2), "--chars", QString::number(n + 8),
                                 "--data", "reverse", "--oe", "forward", "--scan", "half"})
                             .exit,
                         0);
                states << QStringLiteral("card %1: rows %2 chars %3 flags 0x10 scan 0")
                              .arg(address)
                              .arg(n + 2)
                              .arg(n + 8);
            }
        }
        QTemporaryDir dir;
        const QString planFile = dir.filePath(QStringLiteral("site.csv"));
        for (const auto &card : first)
            command << "--port" << card->slavePath();
        const Finished saved = runCli(command << "--plan" << planFile);
        QVERIFY2(saved.exit == 0, qPrintable(saved.out + saved.err));
        QFile file(planFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray plan = file.readAll();
        QVERIFY(plan.startsWith("\xEF\xBB\xBF"));
        for (std::size_t line = 0; line < first.size(); ++line)
            plan.replace(first[line]->slavePath().toUtf8(), fresh[line]->slavePath().toUtf8());
        QTemporaryFile freshPlan;
        QVERIFY(writtenFile(freshPlan, plan));
        const Finished applied = runCli({"apply", freshPlan.fileName()});
        QVERIFY2(applied.exit == 0, qPrintable(QString::fromUtf8(plan) + applied.err));
        qsizetype state = 0;
        for (std::size_t line = 0; line < fresh.size(); ++line)
            for (qsizetype k = 0; k < cardsOnLines[qsizetype(line)].count(u',') + 1; ++k, ++state)
                QVERIFY2(!fresh[line]->waitForLineStarting(states[state], 0, 10s).isEmpty(),
                         qPrintable(states[state] + u'\n' + fresh[line]->transcript()));
    }
};

STRAVIK_SUITE("fleet", FleetTest);

#include "test_fleet.moc"
