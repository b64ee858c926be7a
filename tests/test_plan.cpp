#include "cli/plan.h"
#include "tests/suites.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kEnglish =
    QStringLiteral("port,address,new-address,rows,chars,data,oe,scan,initial-text,text");
const QString kChinese = QStringLiteral(" 串口 ,原地址,新地址,行数,每行汉字数,数据正反向,OE正反向,"
                                        "扫描方式,初始显示信息,显示信息");

// The same three cards under either header: a quoted cell spans two lines, so the third card
// begins on line 5.
QString threeCards(const QString &header) {
    return header + QStringLiteral("\r\n"
                                   "COM2,1,5,2,8,forward,反向,全屏,欢迎光临,\"今日特价, 八折\"\r\n"
                                   "\r\n"
                                   "/dev/ttyUSB0,7,,,,,,,,\"第一行\r\n第二行 \"\"好\"\"\"\r\n"
                                   "com2,3,,,,正向,,,,\r\n");
}

QString summary(const PlanRow &r) {
    auto number = [](const std::optional<int> &v) { return v ? QString::number(*v) : "-"; };
    auto flag = [](const std::optional<bool> &v) { return v ? QString::number(*v) : "-"; };
    const SettingsChoice &s = r.settings;
    return QStringList{QString::number(r.line),
                       QString::number(r.port.number),
                       r.port.device,
                       QString::number(r.address),
                       number(s.newAddress),
                       number(s.rows),
                       number(s.chars),
                       flag(s.dataForward),
                       flag(s.oeForward),
                       flag(s.fullScreen),
                       r.initialText.value_or("-"),
                       r.text.value_or("-")}
        .join(u'|');
}

QByteArray gbk(const QString &text) {
    return QStringEncoder("GBK").encode(text);
}

} // namespace

class PlanTest : public QObject {
    Q_OBJECT
  private slots:
    void everyEncodingAndHeaderGiveTheSameRows_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("UTF-8, English") << threeCards(kEnglish).toUtf8();
        QTest::newRow("UTF-8 with BOM, Chinese") << "\xEF\xBB\xBF" + threeCards(kChinese).toUtf8();
        QTest::newRow("GBK, Chinese") << gbk(threeCards(kChinese));
        QTest::newRow("GBK, English in capitals, LF") << gbk(
            threeCards(kEnglish.toUpper()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    }
    void everyEncodingAndHeaderGiveTheSameRows() {
        QFETCH(QByteArray, file);
        const PlanCheck check = readPlan(file);
        QCOMPARE(check.problems, QStringList());
        QStringList rows;
        for (const PlanRow &row : check.rows)
            rows << summary(row).replace(u'\r', QString());
        QCOMPARE(rows, (QStringList{"2|2||1|5|2|8|1|0|1|欢迎光临|今日特价, 八折",
                                    "4|1|/dev/ttyUSB0|7|-|-|-|-|-|-|-|第一行\n第二行 \"好\"",
                                    "6|2||3|-|-|-|1|-|-|-|-"}));
        QCOMPARE(rowsByPort(check.rows), (std::vector<std::vector<std::size_t>>{{0, 2}, {1}}));
    }

    void everyRefusalIsNamed_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("problems");
        const QString head = kEnglish + u'\n';
        QTest::newRow("every bad cell of a row, in the header's order")
            << (head + "COM9,0,256,x,,sideways,,diagonal,,").toUtf8()
            << QStringList{
                   "第 2 行 port：--port 需要 COM1 到 COM8 或设备路径，而不是 COM9",
                   "第 2 行 address：原地址 0 是广播地址，线上所有控制卡都会执行；"
                   "计划的每一行是一张控制卡，请写它自己的地址",
                   "第 2 行 new-address：新地址必须是0到255之间的整数！",
                   "第 2 行 rows：行数必须是0到255之间的整数！",
                   "第 2 行 data：data 需要 forward（正向）或 reverse（反向），而不是 sideways",
                   "第 2 行 scan：--scan 需要 half（半屏）或 full（全屏），而不是 diagonal"};
        QTest::newRow("rows of their own, columns named as the header has them")
            << QStringLiteral("串口,原地址,显示信息\n,1,a\nCOM1,2\nCOM1,3,b,c\nCOM1,4,\"😀\"\n"
                              "COM1,5,\"x\n")
                   .toUtf8()
            << QStringList{"第 2 行 串口：不能为空",
                           "第 3 行：这一行既没有设置，也没有初始显示信息或显示信息，什么也不做",
                           "第 4 行：有 4 个单元格，表头只有 3 列",
                           "第 5 行 显示信息：字符“😀”（U+1F600）不在 GBK（代码页 936）中，"
                           "控制卡上会显示成 ?",
                           "第 6 行：引号没有结束（到文件末尾）"};
        // Tab and the line breaks are a text's own; a NUL would reach the card as 0x00.
        QTest::newRow("control characters in texts")
            << "port,address,initial-text,text\nCOM1,1,\"a" + QByteArray(1, '\0') +
                   "b\",\nCOM1,2,\"\t\r\n\",\"x\r\n\x1b\"\nCOM1,6,\x7f,ok\n"
            << QStringList{"第 2 行 initial-text：含有控制字符 U+0000，控制卡上显示不出"
                           "（文字里只能有制表符和换行）",
                           "第 3 行 text：含有控制字符 U+001B，控制卡上显示不出"
                           "（文字里只能有制表符和换行）",
                           "第 6 行 initial-text：含有控制字符 U+007F，控制卡上显示不出"
                           "（文字里只能有制表符和换行）"};
        QTest::newRow("a text too long for a frame")
            << ("port,address,text\nCOM1,1," + QString(8192, u'中')).toUtf8()
            << QStringList{"第 2 行 text：显示信息过长，未发送！"};
        QTest::newRow("the header")
            << QByteArray("Port,串口,colour,,rows\nCOM1,1,,,")
            << QStringList{"表头的列“串口”出现了不止一次", "表头有未知的列“colour”",
                           "表头第 4 列没有名字", "表头缺少列 address（原地址）"};
        QTest::newRow("neither UTF-8 nor GBK")
            << QByteArray("port,address\n\xFF\xFF,1")
            << QStringList{"计划文件既不是 UTF-8 也不是 GBK（代码页 936）编码，无法读取。"};
        QTest::newRow("blank lines only")
            << QByteArray("\r\n,,\n")
            << QStringList{
                   "计划文件是空的：第一行应是表头，如 port,address,rows,chars,data,oe,scan。"};
    }
    // A plan is read to kMaxPlanBytes: a FIFO whose writer would go on to four times that is
    // refused at once, without the rest read.
    void sizeIsBounded() {
        std::signal(SIGPIPE, SIG_IGN); // the writer learns of the reader's end from write()
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("plan.csv")));
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        std::atomic<bool> readerDone = false;
        std::thread writer([&] {
            const QByteArray plan =
                "port,address,text\nCOM1,1," + QByteArray(4 * kMaxPlanBytes, 'a');
            const int fd = ::open(path.constData(), O_WRONLY);
            for (qsizetype at = 0, n = 0; at < plan.size() && !readerDone && n >= 0; at += n)
                n = ::write(fd, plan.constData() + at,
                            std::min<qsizetype>(plan.size() - at, 65536));
            ::close(fd);
        });
        QElapsedTimer clock;
        clock.start();
        QFile file(QFile::decodeName(path));
        const PlanCheck check = file.open(QIODevice::ReadOnly) ? readPlan(file) : PlanCheck();
        readerDone = true;
        file.close();
        writer.join();
        QCOMPARE(
            check.problems,
            QStringList{"计划文件超过 16 MiB（或是没有尽头的设备、管道），不是计划，没有读完。"});
        QVERIFY2(clock.elapsed() < 10000, "refusing took longer than 10 s");
    }

    void everyRefusalIsNamed() {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, problems);
        const PlanCheck check = readPlan(file);
        QCOMPARE(check.problems, problems);
        QVERIFY(check.rows.empty());
    }

    // The frames written out by hand: addresses 1 and 5 as 81 C0 and 85 C0, values below 16 as
    // two nibbles, 中 as GBK D6 D0 in nibbles, the line break as CR LF.
    void dryRunShowsTheFramesOnTheLine_data() {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("all five settings and both texts")
            << "COM1,1,5,2,8,forward,reverse,full,\"A\nB\",中"
            << QStringList{"第 2 行  COM1  原地址 1",
                           "  修改设置  81 C0 41 00 05 00 02 00 08 00 01 00 01 1A",
                           "  重启读回  85 C0 58 1A", "  初始显示信息  85 C0 53 41 0D 0A 42 1A",
                           "  显示信息  85 C0 44 0D 06 0D 00 1A"};
        QTest::newRow("no settings")
            << "COM3,5,,,,,,,,中"
            << QStringList{"第 2 行  COM3  原地址 5", "  显示信息  85 C0 44 0D 06 0D 00 1A"};
        QTest::newRow("some settings")
            << "COM1,1,,2,,,,,,"
            << QStringList{"第 2 行  COM1  原地址 1",
                           "  只给了部分设置：其余的要先重启控制卡读回，不接控制卡给不出这一行的帧"
                           "（预演要么给出行数、每行汉字数、数据正反向、OE正反向、扫描方式五项，"
                           "要么一项也不给）"};
    }
    void dryRunShowsTheFramesOnTheLine() {
        QFETCH(QString, row);
        QFETCH(QStringList, lines);
        const PlanCheck check = readPlan((kEnglish + u'\n' + row).toUtf8());
        QCOMPARE(check.problems, QStringList());
        QCOMPARE(dryRunLines(check.rows.at(0)), lines);
    }
};

STRAVIK_SUITE("plan", PlanTest);
#include "test_plan.moc"
