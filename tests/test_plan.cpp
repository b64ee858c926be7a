#include "cli/plan.h"
#include "tests/suites.h"
#include "texts/commandline.h"
#include "texts/messages.h"
#include "texts/plan.h"

#include <QStringEncoder>
#include <QTest>

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
            << QStringList{"第 2 行 port：" + msg::cli::badPort("COM9"),
                           "第 2 行 address：" + msg::plan::kBroadcast,
                           "第 2 行 new-address：新地址必须是0到255之间的整数！",
                           "第 2 行 rows：行数必须是0到255之间的整数！",
                           "第 2 行 data：" + msg::cli::badPolarity("data", "sideways"),
                           "第 2 行 scan：" + msg::cli::badScan("diagonal")};
        QTest::newRow("rows of their own, columns named as the header has them")
            << QStringLiteral("串口,原地址,显示信息\n,1,a\nCOM1,2\nCOM1,3,b,c\nCOM1,4,\"😀\"\n"
                              "COM1,5,\"x\n")
                   .toUtf8()
            << QStringList{"第 2 行 串口：" + msg::plan::kEmptyCell,
                           "第 3 行：" + msg::plan::kDoesNothing,
                           "第 4 行：" + msg::plan::tooManyCells(4, 3),
                           "第 5 行 显示信息：" + msg::plan::notInCodePage("😀"),
                           "第 6 行：" + msg::plan::kUnterminatedQuote};
        QTest::newRow("a text too long for a frame")
            << ("port,address,text\nCOM1,1," + QString(8192, u'中')).toUtf8()
            << QStringList{"第 2 行 text：" + msg::kTextTooLong};
        QTest::newRow("the header")
            << QByteArray("Port,串口,colour,,rows\nCOM1,1,,,")
            << QStringList{msg::plan::duplicateColumn("串口"), msg::plan::unknownColumn("colour"),
                           msg::plan::unnamedColumn(4),
                           msg::plan::missingColumn(msg::plan::Column::Address)};
        QTest::newRow("neither UTF-8 nor GBK")
            << QByteArray("port,address\n\xFF\xFF,1") << QStringList{msg::plan::kNotDecodable};
        QTest::newRow("blank lines only")
            << QByteArray("\r\n,,\n") << QStringList{msg::plan::kNoHeader};
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
            << QStringList{"第 2 行  COM1  原地址 1", "  " + msg::plan::kNeedsReadBack};
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
