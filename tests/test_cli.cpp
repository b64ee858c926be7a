#include "card/messages.h"
#include "protocol/frame.h"
#include "tests/suites.h"
#include "tests/support/cardprocess.h"
#include "tests/support/pty.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <memory>

using namespace std::chrono_literals;

namespace {

QString cliProgram() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../cli/stravik-cli");
}

QByteArray bytes(const Frame &frame) {
    return toByteArray(frame);
}
QByteArray restart(int address) {
    return bytes(BuildRestartFrame(address));
}
QByteArray settings(int address, SettingsValues v) {
    return bytes(BuildSettingsFrame(address, v));
}
QByteArray text(int address, std::uint8_t letter, const QString &t) {
    return bytes(BuildDisplayTextFrame(address, letter, t).frame);
}

// The line as the program under test finds it: the virtual card, or a pseudo-terminal on
// which nobody answers. Bytes written on the program's side after it ended mark the end of
// what it sent: the line delivers them in order, so whatever came before them is its.
class Line {
  public:
    explicit Line(const QString &cards) {
        if (cards.isEmpty())
            mute_ = std::make_unique<PtyPair>();
        else
            card_ = std::make_unique<CardProcess>(cards);
    }
    bool ready() const { return mute_ ? mute_->isValid() : card_->started(); }
    QString port() const { return mute_ ? mute_->slavePath() : card_->slavePath(); }

    // Everything the line carried since the last call, and the state of the card it last
    // reported.
    QByteArray carried(QString *lastState = nullptr) {
        const QByteArray marker = restart(254);
        const int fd = ::open(QFile::encodeName(port()).constData(), O_RDWR | O_NOCTTY);
        const bool written = fd >= 0 && ::write(fd, marker.constData(), 4) == 4;
        if (fd >= 0)
            ::close(fd);
        if (!written)
            return "(the marker could not be written)";
        if (mute_) {
            const QByteArray got = mute_->readUntil(marker);
            return got.endsWith(marker) ? got.chopped(4) : "(no marker) " + got.toHex(' ');
        }
        const QString end =
            QString::fromLatin1(marker.toHex(' ').toUpper()) + QStringLiteral("  restart card 254");
        if (!card_->waitForLineStarting(end, from_, 10s).startsWith(end))
            return "(no marker) " + card_->transcript().toUtf8();
        static const QRegularExpression frameLine(
            QStringLiteral("^([0-9A-F]{2}(?: [0-9A-F]{2})*)  "));
        QByteArray got;
        const QStringList lines = card_->linesFrom(from_);
        from_ = card_->lineCount();
        for (const QString &l : lines) {
            if (l.startsWith(end))
                break;
            if (const auto m = frameLine.match(l); m.hasMatch())
                got += QByteArray::fromHex(m.captured(1).toLatin1());
            else if (lastState && l.contains(QStringLiteral(": rows ")))
                *lastState = l;
        }
        return got;
    }

  private:
    std::unique_ptr<PtyPair> mute_;
    std::unique_ptr<CardProcess> card_;
    qsizetype from_ = 0;
};

} // namespace

class CliTest : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        for (const QString &program : {cliProgram(), cardProgram()})
            if (!QFileInfo(program).isExecutable())
                QSKIP(qPrintable(program + QStringLiteral(" is not built: build the targets "
                                                          "stravik-cli and virtual-card")));
    }

    // Each command against the virtual card (or a line where nobody answers): the bytes on
    // the line are the window's frames for the same inputs, bad input sends nothing.
    void commands_data() {
        QTest::addColumn<QString>("cards"); // addresses on the virtual card; empty: nobody
        QTest::addColumn<QByteArray>("prepare");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("state");

        const QByteArray none;
        const QString port = QStringLiteral("%port");
        const auto row = [&](const char *name, const QString &cards, const QByteArray &prepare,
                             QStringList args, const QByteArray &input, int code,
                             const QByteArray &wire, const QString &output,
                             const QString &state = QString()) {
            if (args.size() > 1 && !args.contains(QStringLiteral("--port")))
                args << QStringLiteral("--port") << port;
            QTest::newRow(name) << cards << prepare << args << input << code << wire << output
                                << state;
        };
        // A card with settings the window's defaults do not have.
        const QByteArray prepared = settings(1, {1, 3, 12, 0x11, 1});
        const QString longest(32763, u'a');

        row("ports", "1", none, {"ports"}, none, 0, none, "COM8");
        row("restart", "1", none, {"restart", "1"}, none, 0, restart(1),
            "原地址 1  行数 1  每行汉字数 4  数据正反向 反向  OE正反向 反向  扫描方式 半屏");
        row("restart --json: the raw reply", "1", prepared, {"restart", "1", "--json"}, none, 0,
            restart(1),
            R"("oe":"forward","raw":"00 01 00 03 00 0C 11 00 01","rows":3,"scan":"full")");
        row("restart, nobody answers", "1", none, {"restart", "7", "--wait", "800"}, none, 3,
            restart(7), "原地址 7 的控制卡没有应答。");
        row("set, all values", "1", none,
            {"set", "1", "--new-address", "5", "--rows", "2", "--chars", "12", "--data", "forward",
             "--oe", "forward", "--scan", "full"},
            none, 0, settings(1, {5, 2, 12, 0x11, 1}), "新地址 5",
            "card 5: rows 2 chars 12 flags 0x11 scan 1");
        row("set one value, the rest as read, verified", "1", settings(1, {1, 3, 12, 0x01, 1}),
            {"set", "1", "--oe", "forward", "--verify"}, none, 0,
            restart(1) + settings(1, {1, 3, 12, 0x11, 1}) + restart(1), "读回一致",
            "card 1: rows 3 chars 12 flags 0x11 scan 1");
        row("set --verify, another card answers there", "2,1", none,
            {"set", "1", "--new-address", "2", "--rows", "3", "--chars", "4", "--data", "reverse",
             "--oe", "reverse", "--scan", "half", "--verify"},
            none, 4, settings(1, {2, 3, 4, 0, 0}) + restart(2), "行数 发送 3，读回 1");
        row("set, values missing and nobody answers", "1", none, {"set", "9", "--rows", "2"}, none,
            3, restart(9), "设置未修改");
        row("set 0 --yes", "1", none,
            {"set", "0", "--yes", "--new-address", "3", "--rows", "2", "--chars", "4", "--data",
             "reverse", "--oe", "reverse", "--scan", "half"},
            none, 0, settings(0, {3, 2, 4, 0, 0}), "新地址 3", "card 3: rows 2 chars 4");
        row("set 0 without --yes", "1", none, {"set", "0", "--rows", "2"}, "y\n", 5, none,
            msg::kBroadcastQuestion);
        row("rows out of range", "1", none, {"set", "1", "--rows", "300"}, none, 5, none,
            msg::notAByte(msg::kLabelRows));
        row("address out of range", "1", none, {"text", "256", "x"}, none, 5, none,
            msg::notAByte(msg::kLabelOriginalAddress));
        row("unknown scan mode", "1", none, {"set", "1", "--scan", "diagonal"}, none, 1, none,
            "--scan");
        row("absent port", "1", none, {"restart", "1", "--port", "/nonexistent/ttyUSB9", "--json"},
            none, 2, none,
            msg::kOpenFailed + u'\n' + QStringLiteral("/nonexistent/ttyUSB9 不存在"));
        row("text", "1", none, {"text", "1", "你好"}, none, 0, text(1, kLetterDisplayText, "你好"),
            "发送地址1显示信息(4)", R"(text "你好" shows text)");
        row("initial text from standard input, lines as CR LF", "1", none,
            {"initial-text", "1", "-"}, "第一行\n第二行\n", 0,
            text(1, kLetterInitialText, "第一行\r\n第二行"), "设置地址1初始显示信息(14)");
        row("the longest text, drained whole", "1", none, {"text", "1", longest}, none, 0,
            text(1, kLetterDisplayText, longest), "发送地址1显示信息(32763)");
        row("a text too long", "1", none, {"text", "1", longest + u'a'}, none, 5, none,
            msg::kTextTooLong);

        QByteArray three;
        for (int a = 10; a <= 12; ++a)
            three += settings(0, {a, 2, 8, 0x01, 1}) + restart(a) +
                     text(a, kLetterInitialText, "欢迎光临");
        row("provision three cards", "1", none,
            {"provision", "--first-address", "10", "--count", "3", "--rows", "2", "--chars", "8",
             "--data", "forward", "--oe", "reverse", "--scan", "full", "--initial-text",
             "欢迎光临"},
            "\n\n\n\n", 0, three, "第 3 张控制卡：原地址 12",
            R"(card 12: rows 2 chars 8 flags 0x01 scan 1 initial "欢迎光临")");
        row("provision to the end of input, the rest as read", "1", prepared,
            {"provision", "--first-address", "20", "--rows", "4"}, "\n\n", 0,
            restart(0) + settings(0, {20, 4, 12, 0x11, 1}) + restart(20) + restart(0) +
                settings(0, {21, 4, 12, 0x11, 1}) + restart(21),
            "第 2 张控制卡：原地址 21", "card 21: rows 4 chars 12 flags 0x11 scan 1");
        const QByteArray unanswered = settings(0, {5, 1, 4, 0, 0}) + restart(5);
        row("provision, nobody answers: retried, skipped, not counted", "", none,
            {"provision", "--first-address", "5", "--count", "2", "--rows", "1", "--chars", "4",
             "--data", "reverse", "--oe", "reverse", "--scan", "half"},
            "\nr\ns\n", 3, unanswered + unanswered, "第 1 张控制卡已跳过，不计入。");
    }
    void commands() {
        QFETCH(QString, cards);
        QFETCH(QByteArray, prepare);
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, wire);
        QFETCH(QString, output);
        QFETCH(QString, state);

        Line line(cards);
        QVERIFY2(line.ready(), "no line: the virtual card named no pseudo-terminal");
        if (!prepare.isEmpty()) {
            const int fd = ::open(QFile::encodeName(line.port()).constData(), O_RDWR | O_NOCTTY);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, prepare.constData(), std::size_t(prepare.size())),
                     ssize_t(prepare.size()));
            ::close(fd);
            QCOMPARE(line.carried(), prepare);
        }

        args.replaceInStrings(QStringLiteral("%port"), line.port());
        QProcess cli;
        cli.start(cliProgram(), args);
        QVERIFY(cli.waitForStarted());
        cli.write(input);
        cli.closeWriteChannel();
        QVERIFY2(waitFor([&] { return cli.state() == QProcess::NotRunning; }, 60s),
                 "stravik-cli did not end");
        const QString said = QString::fromUtf8(cli.readAllStandardOutput()) +
                             QString::fromUtf8(cli.readAllStandardError());
        QVERIFY2(said.contains(output), qPrintable(said));
        QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
        QCOMPARE(cli.exitCode(), exitCode);

        QString lastState;
        const QByteArray carried = line.carried(&lastState);
        QCOMPARE(carried.toHex(' '), wire.toHex(' '));
        QVERIFY2(lastState.contains(state), qPrintable(lastState));
    }
};

STRAVIK_SUITE("cli", CliTest);

#include "test_cli.moc"
