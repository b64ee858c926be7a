#include "card/messages.h"
#include "cli/cardsession.h"
#include "cli/console.h"
#include "protocol/frame.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>

#include <map>
#include <optional>
#include <set>

namespace {

const char kHelp[] = R"(用法：stravik-cli 子命令 [选项]

LED 条屏控制卡的命令行设置工具。它发出的帧与窗口程序 stravik 完全相同
（RS-232，9600 波特，8 个数据位，无校验，1 个停止位），可以在脚本和测试台上使用。

子命令：
  ports                          列出 COM1 到 COM8 此刻各自对应的设备及适配器说明
  restart 原地址                 重启控制卡（控制卡会重新启动，重新显示初始显示信息），
                                 半秒后读回它报告的设置
  set 原地址 [设置选项]          修改控制卡的设置；缺少的设置先重启控制卡读回，保持不变
  initial-text 原地址 文本       设置初始显示信息（控制卡上电时显示的文本）
  text 原地址 文本               发送显示信息（控制卡现在显示的文本）
  provision --first-address N    批量设置：逐张接上控制卡，依次给它们地址 N、N+1……

通用选项：
  --port COMn|设备|地址          串口（默认 COM1，编号按窗口程序的规则对应设备），
                                 也可直接给设备路径，如 /dev/ttyUSB0，或串口服务器的地址：
                                 tcp://主机:端口（raw 模式，服务器须设为 9600 8N1）、
                                 rfc2217://主机:端口（由本程序设定 9600 8N1）
  --json                         每个结果输出一行 JSON（错误信息仍写到标准错误）
  --help                         显示本说明

设置选项（set 与 provision）：
  --new-address N                新地址（0 到 255）
  --rows R                       行数
  --chars C                      每行汉字数
  --data forward|reverse         数据正反向（正向|反向）
  --oe forward|reverse           OE正反向（正向|反向）
  --scan half|full               扫描方式（半屏|全屏）

其他选项：
  --wait MS                      重启后等待应答的毫秒数（默认 500，即窗口程序的半秒；
                                 500 到 60000），用于应答较慢的控制卡；串口服务器上
                                 另加在连接上测得的往返时间
  --verify                       set：修改后在新地址重启控制卡，核对读回的设置
  --yes                          set：原地址 0（广播，所有控制卡都会修改成相同地址）
                                 不再询问；不在终端上时必须给出
  --count M                      provision：完成 M 张控制卡后停止（否则到输入结束）
  --initial-text 文本            provision：每张控制卡核对通过后的初始显示信息

原地址 0 是广播地址：线上所有控制卡都执行命令。文本为 - 时从标准输入读取（去掉最后
一个换行），以 - 开头的文本写在 -- 之后（选项都放在 -- 前面）；换行按窗口程序的方式以
CR LF 发送。一次发送的帧最长 32767 字节。文本在线路上超过一秒时，终端上显示已发送的
字节数。程序在帧全部离开串口后才返回。

provision 对每张控制卡：提示“接上第 k 张控制卡后按回车”（线上只接这一张），把设置
发到广播地址 0（新地址为下一个地址），在新地址重启核对读回的设置，再发初始显示信息；
每张控制卡输出一行结果。核对不通过时询问重试（r，回车）或跳过（s），跳过的不计入。

退出码：
  0  完成
  1  用法错误
  2  串口打不开（附原因），或使用中断开（适配器拔出、网络连接中断）
  3  控制卡没有应答
  4  读回的设置与发送的不符
  5  输入被拒绝（数值不在 0 到 255 之间、文本过长、广播未确认），什么也没发送

例：
  stravik-cli restart 1 --port /dev/ttyUSB0
  stravik-cli set 1 --rows 2 --verify
  echo 欢迎光临 | stravik-cli initial-text 5 -
  stravik-cli provision --first-address 1 --count 20 --rows 2 --chars 8 \
      --data forward --oe forward --scan half --initial-text 欢迎光临
)";

struct Options {
    QString command;
    QStringList positional;
    PortChoice port;
    bool json = false;
    bool yes = false;
    bool verify = false;
    bool help = false;
    int waitMs = 500;
    std::optional<int> count;
    QString firstAddress;
    std::optional<QString> initialText;
    // The settings options as typed: numbers are refused later with the window's texts.
    QString newAddress, rows, chars;
    SettingsChoice settings;
};

struct UsageError {
    QString text;
};

// Every option of every command; which command takes which is checked after parsing.
struct OptionSet {
    QCommandLineOption help{{"h", "help"}};
    QCommandLineOption json{"json"};
    QCommandLineOption yes{"yes"};
    QCommandLineOption verify{"verify"};
    QCommandLineOption port{"port", {}, "port"};
    QCommandLineOption wait{"wait", {}, "ms"};
    QCommandLineOption count{"count", {}, "m"};
    QCommandLineOption firstAddress{"first-address", {}, "n"};
    QCommandLineOption initialText{"initial-text", {}, "text"};
    QCommandLineOption newAddress{"new-address", {}, "n"};
    QCommandLineOption rows{"rows", {}, "r"};
    QCommandLineOption chars{"chars", {}, "c"};
    QCommandLineOption data{"data", {}, "polarity"};
    QCommandLineOption oe{"oe", {}, "polarity"};
    QCommandLineOption scan{"scan", {}, "mode"};
};

// The options each command takes, and how many positional arguments.
struct CommandShape {
    int positional;
    std::set<QString> options;
};
const std::map<QString, CommandShape> &commands() {
    const std::set<QString> settings{"new-address", "rows", "chars", "data", "oe", "scan"};
    auto with = [&](std::set<QString> own, bool withSettings) {
        own.insert({"json", "help"});
        if (withSettings)
            own.insert(settings.begin(), settings.end());
        return own;
    };
    static const std::map<QString, CommandShape> all{
        {"ports", {0, with({}, false)}},
        {"restart", {1, with({"port", "wait"}, false)}},
        {"set", {1, with({"port", "wait", "verify", "yes"}, true)}},
        {"initial-text", {2, with({"port"}, false)}},
        {"text", {2, with({"port"}, false)}},
        {"provision",
         {0,
          [&] {
              auto own = with({"port", "wait", "first-address", "count", "initial-text"}, true);
              own.erase("new-address");
              return own;
          }()}},
    };
    return all;
}

std::optional<int> wholeNumber(const QString &text, int low, int high) {
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n >= low && n <= high ? std::optional<int>(n) : std::nullopt;
}

bool polarity(const QString &option, const QString &value) {
    if (value == u"forward" || value == msg::kForward)
        return true;
    if (value == u"reverse" || value == msg::kReverse)
        return false;
    throw UsageError{
        QStringLiteral("%1 需要 forward（正向）或 reverse（反向），而不是 %2").arg(option, value)};
}

bool fullScreen(const QString &value) {
    if (value == u"half" || value == msg::kHalfScreen)
        return false;
    if (value == u"full" || value == msg::kFullScreen)
        return true;
    throw UsageError{
        QStringLiteral("--scan 需要 half（半屏）或 full（全屏），而不是 %1").arg(value)};
}

PortChoice portChoice(const QString &value) {
    static const QRegularExpression com(QStringLiteral("^COM([0-9]+)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const auto m = com.match(value);
    if (!m.hasMatch())
        return PortChoice{1, value};
    const auto number = wholeNumber(m.captured(1), kFirstCommPort, kLastCommPort);
#ifdef Q_OS_WIN
    // Windows numbers its ports itself, often past COM8: any COMn is that port.
    if (!number && wholeNumber(m.captured(1), kFirstCommPort, 255))
        return PortChoice{1, value.toUpper()};
#endif
    if (!number)
        throw UsageError{
            QStringLiteral("--port 需要 COM1 到 COM8 或设备路径，而不是 %1").arg(value)};
    return PortChoice{*number, QString()};
}

// The parser's own complaints, in the program's words.
QString parserError(const QCommandLineParser &parser) {
    static const QRegularExpression quoted(QStringLiteral("'(.*)'"));
    const QString text = parser.errorText();
    QString name = quoted.match(text).captured(1);
    if (!name.startsWith(u'-'))
        name.prepend(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"));
    if (text.startsWith(u"Missing value"))
        return QStringLiteral("%1 缺少值").arg(name);
    if (text.startsWith(u"Unexpected value"))
        return QStringLiteral("%1 不带值").arg(name);
    if (!parser.unknownOptionNames().isEmpty())
        return QStringLiteral("未知选项 %1").arg(name);
    return text;
}

Options parse(const QStringList &arguments) {
    OptionSet o;
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    for (const QCommandLineOption *option :
         {&o.help, &o.json, &o.yes, &o.verify, &o.port, &o.wait, &o.count, &o.firstAddress,
          &o.initialText, &o.newAddress, &o.rows, &o.chars, &o.data, &o.oe, &o.scan})
        parser.addOption(*option);
    if (!parser.parse(arguments))
        throw UsageError{parserError(parser)};

    Options options;
    options.help = parser.isSet(o.help);
    if (options.help)
        return options;
    options.positional = parser.positionalArguments();
    if (options.positional.isEmpty())
        throw UsageError{QStringLiteral("缺少子命令")};
    options.command = options.positional.takeFirst();
    const auto shape = commands().find(options.command);
    if (shape == commands().end())
        throw UsageError{QStringLiteral("未知子命令 %1").arg(options.command)};
    for (const QString &name : parser.optionNames()) {
        const QString option = name.size() == 1 ? QStringLiteral("help") : name;
        if (!shape->second.options.count(option))
            throw UsageError{QStringLiteral("%1 不接受选项 --%2").arg(options.command, option)};
    }
    if (options.positional.size() != shape->second.positional)
        throw UsageError{QStringLiteral("%1 需要 %2 个参数，给出了 %3 个")
                             .arg(options.command)
                             .arg(shape->second.positional)
                             .arg(options.positional.size())};

    options.json = parser.isSet(o.json);
    options.yes = parser.isSet(o.yes);
    options.verify = parser.isSet(o.verify);
    if (parser.isSet(o.port))
        options.port = portChoice(parser.value(o.port));
    if (parser.isSet(o.wait)) {
        const auto ms = wholeNumber(parser.value(o.wait), 500, 60000);
        if (!ms)
            throw UsageError{QStringLiteral("--wait 需要 500 到 60000 毫秒")};
        options.waitMs = *ms;
    }
    if (parser.isSet(o.count)) {
        options.count = wholeNumber(parser.value(o.count), 1, 256);
        if (!options.count)
            throw UsageError{QStringLiteral("--count 需要 1 到 256 之间的整数")};
    }
    options.firstAddress = parser.value(o.firstAddress);
    if (parser.isSet(o.initialText))
        options.initialText = parser.value(o.initialText);
    options.newAddress = parser.value(o.newAddress);
    options.rows = parser.value(o.rows);
    options.chars = parser.value(o.chars);
    SettingsChoice &s = options.settings;
    if (parser.isSet(o.data))
        s.dataForward = polarity(QStringLiteral("--data"), parser.value(o.data));
    if (parser.isSet(o.oe))
        s.oeForward = polarity(QStringLiteral("--oe"), parser.value(o.oe));
    if (parser.isSet(o.scan))
        s.fullScreen = fullScreen(parser.value(o.scan));

    if (options.command == u"provision" && !parser.isSet(o.firstAddress))
        throw UsageError{QStringLiteral("provision 需要 --first-address")};
    bool anySetting = false;
    for (const QCommandLineOption *option :
         {&o.newAddress, &o.rows, &o.chars, &o.data, &o.oe, &o.scan})
        anySetting = anySetting || parser.isSet(*option);
    if (options.command == u"set" && !anySetting)
        throw UsageError{QStringLiteral("set 至少需要一个设置选项")};
    return options;
}

// Typed numbers as values, or the first refusal the window would show for them, in its order.
struct Typed {
    QString label;
    QString text;
    std::optional<int> *value;
};
std::optional<QString> readNumbers(std::initializer_list<Typed> typed) {
    for (const Typed &t : typed) {
        if (t.text.isEmpty())
            continue;
        *t.value = ParseByteText(t.text);
        if (!*t.value)
            return msg::notAByte(t.label);
    }
    return std::nullopt;
}

QString readStandardInput() {
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        return QString();
    QString text = QString::fromUtf8(in.readAll());
    if (text.endsWith(u"\r\n"))
        text.chop(2);
    else if (text.endsWith(u'\n') || text.endsWith(u'\r'))
        text.chop(1);
    return text;
}

// The whole run of one command; the console prints, the session talks to the card.
class Run {
  public:
    Run(Options &options, Console &console)
        : o_(options), console_(console), session_(options.port) {
        session_.setReplyDelay(std::chrono::milliseconds(o_.waitMs));
        session_.setProgress([this](qint64 sent, qint64 total) { console_.progress(sent, total); });
    }

    int exec() {
        if (o_.command == u"ports")
            return ports();
        if (o_.command == u"restart")
            return restart();
        if (o_.command == u"set")
            return set();
        if (o_.command == u"provision")
            return provision();
        return text(o_.command == u"text" ? DisplayText::Current : DisplayText::Initial);
    }

  private:
    int refuse(const QString &text) { return failure(kExitRefused, text); }

    // A failure's text goes to standard error, or to standard output where it is the result
    // of one card of a batch.
    int failure(int code, const QString &text, QJsonObject fields = {}, bool result = false) {
        if (!result)
            console_.error(text);
        else if (!o_.json)
            console_.line(text);
        fields.insert("command", o_.command);
        fields.insert("exit", code);
        fields.insert("error", text);
        if (o_.json)
            console_.json(fields);
        return code;
    }

    int sessionFailure(int code) { return failure(code, session_.error()); }

    int openPort() {
        const int code = session_.open();
        return code == kExitDone ? code : sessionFailure(code);
    }

    // One result: a line, or with --json the fields.
    void print(const QString &line, const QJsonObject &fields) {
        if (o_.json)
            console_.json(fields);
        else
            console_.line(line);
    }

    int done(const QString &line, QJsonObject fields) {
        fields.insert("command", o_.command);
        fields.insert("exit", kExitDone);
        print(line, fields);
        return kExitDone;
    }

    int ports() {
        for (int n = kFirstCommPort; n <= kLastCommPort; ++n) {
            const QString item = QStringLiteral("COM%1").arg(n);
            const PortTarget target = portDevice(n);
            const QString description =
                target.device.isEmpty() ? QString() : describeDevice(target.device);
            QJsonObject fields{{"port", item}, {"device", target.device}};
            if (!target.ghost.isEmpty())
                fields.insert("ghost", target.ghost);
            if (description != target.device)
                fields.insert("description", description.mid(target.device.size() + 3));
            QString line;
            if (target.device.isEmpty())
                line = msg::noDevice(item, target.ghost);
            else if (description == target.device)
                line = QStringLiteral("%1：%2（无适配器说明）").arg(item, target.device);
            else
                line = QStringLiteral("%1：%2").arg(item, description);
            print(line, fields);
        }
        return kExitDone;
    }

    int restart() {
        std::optional<int> address;
        if (auto refusal = readNumbers({{msg::kLabelOriginalAddress, o_.positional[0], &address}}))
            return refuse(*refusal);
        if (const int code = openPort())
            return code;
        CardReply card;
        if (const int code = session_.restart(*address, &card))
            return sessionFailure(code);
        return done(Console::readBackLine(card), Console::readBackJson(card));
    }

    // Refuses address 0 unless the operator agrees, before anything is written.
    std::optional<int> confirmBroadcast(int address) {
        if (address != kAddressBroadcast || o_.yes)
            return std::nullopt;
        if (!console_.interactive())
            return refuse(msg::kBroadcastQuestion +
                          QStringLiteral("\n原地址 0 会修改线上所有控制卡；不在终端上时需要 "
                                         "--yes。未发送。"));
        const auto answer = console_.ask(msg::kBroadcastQuestion + QStringLiteral("[y/N] "));
        if (!answer ||
            !(answer == u"y" || answer == u"yes" || answer == u"是" || answer == u"确定"))
            return refuse(QStringLiteral("未确认广播地址 0，设置未发送。"));
        return std::nullopt;
    }

    int set() {
        std::optional<int> address;
        SettingsChoice &s = o_.settings;
        if (auto refusal = readNumbers({{msg::kLabelOriginalAddress, o_.positional[0], &address},
                                        {msg::kLabelNewAddress, o_.newAddress, &s.newAddress},
                                        {msg::kLabelRows, o_.rows, &s.rows},
                                        {msg::kLabelCharsPerRow, o_.chars, &s.chars}}))
            return refuse(*refusal);
        if (auto refused = confirmBroadcast(*address))
            return *refused;
        if (const int code = openPort())
            return code;
        SettingsValues sent;
        if (const int code = session_.modify(*address, s, &sent))
            return sessionFailure(code);
        QJsonObject fields{{"address", *address}, {"sent", Console::settingsJson(sent)}};
        QString line = QStringLiteral("已修改原地址 %1 的设置：%2")
                           .arg(*address)
                           .arg(Console::settingsLine(sent));
        if (o_.verify) {
            CardReply card;
            if (const int code = session_.restart(sent.newAddress, &card))
                return failure(code, session_.error(), fields);
            fields.insert("readBack", Console::readBackJson(card));
            const QStringList differences = compareReadBack(sent, card);
            if (!differences.isEmpty()) {
                if (!o_.json)
                    console_.line(line);
                return failure(kExitDiffers,
                               QStringLiteral("读回的设置不符：") +
                                   differences.join(QStringLiteral("；")),
                               fields);
            }
            line += QStringLiteral("；读回一致");
        }
        return done(line, fields);
    }

    int text(DisplayText which) {
        std::optional<int> address;
        if (auto refusal = readNumbers({{msg::kLabelOriginalAddress, o_.positional[0], &address}}))
            return refuse(*refusal);
        const QString given = o_.positional[1] == u"-" ? readStandardInput() : o_.positional[1];
        if (const int code = openPort())
            return code;
        CardSession::SentText sent;
        if (const int code = session_.sendText(which, *address, given, &sent))
            return sessionFailure(code);
        return done(sent.caption, {{"address", *address},
                                   {"bytes", sent.textBytes},
                                   {"frameBytes", sent.frameBytes},
                                   {"caption", sent.caption}});
    }

    int provision() {
        // Every address the run may give, and the text, are checked before the first card.
        std::optional<int> first;
        SettingsChoice &s = o_.settings;
        if (auto refusal = readNumbers({{msg::kLabelNewAddress, o_.firstAddress, &first},
                                        {msg::kLabelRows, o_.rows, &s.rows},
                                        {msg::kLabelCharsPerRow, o_.chars, &s.chars}}))
            return refuse(*refusal);
        if (!first)
            return refuse(msg::notAByte(msg::kLabelNewAddress));
        const int last = o_.count ? *first + *o_.count - 1 : 255;
        if (last > 255)
            return refuse(
                msg::notAByte(msg::kLabelNewAddress) +
                QStringLiteral("（第 %1 张控制卡的地址将是 %2）").arg(*o_.count).arg(last));
        if (o_.initialText) {
            // The longest frame of the run is the one to the highest address.
            const DisplayTextFrame longest =
                BuildDisplayTextFrame(last, kLetterInitialText, cardText(*o_.initialText));
            if (static_cast<qsizetype>(longest.frame.size()) > kMaxFrameLength)
                return refuse(msg::kTextTooLong);
        }
        if (const int code = openPort())
            return code;

        int result = kExitDone;
        int cardNumber = 1;
        int address = *first;
        const auto summary = [&] {
            console_.error(address == *first ? QStringLiteral("没有完成任何控制卡。")
                                             : QStringLiteral("完成 %1 张控制卡，地址 %2 到 %3。")
                                                   .arg(address - *first)
                                                   .arg(*first)
                                                   .arg(address - 1));
        };
        for (; address <= last; ++cardNumber) {
            if (!console_.ask(
                    QStringLiteral("接上第 %1 张控制卡后按回车（线上只接这一张）").arg(cardNumber)))
                break;
            for (;;) {
                const int code = setUpCard(cardNumber, address);
                if (code == kExitDone) {
                    ++address;
                    break;
                }
                if (code == kExitPort) {
                    summary();
                    return code;
                }
                const auto answer = askRetry(cardNumber);
                if (answer == u"r")
                    continue;
                result = code;
                console_.error(QStringLiteral("第 %1 张控制卡已跳过，不计入。").arg(cardNumber));
                if (!answer) {
                    summary();
                    return result;
                }
                break;
            }
        }
        summary();
        return result;
    }

    // "r" to retry, "s" to skip, nothing at the end of input.
    std::optional<QString> askRetry(int cardNumber) {
        for (;;) {
            const auto answer = console_.ask(
                QStringLiteral("第 %1 张控制卡未通过检查：重试请按回车或输入 r，跳过请输入 s")
                    .arg(cardNumber));
            if (!answer)
                return answer;
            if (answer->isEmpty() || answer == u"r" || answer == u"重试")
                return QStringLiteral("r");
            if (answer == u"s" || answer == u"跳过")
                return QStringLiteral("s");
        }
    }

    // The operator connects one card alone and confirms it with Enter: that is the answer to
    // the broadcast question.
    int setUpCard(int cardNumber, int address) {
        SettingsChoice choice = o_.settings;
        choice.newAddress = address;
        const QString prefix = QStringLiteral("第 %1 张控制卡：").arg(cardNumber);
        QJsonObject fields{{"card", cardNumber}, {"address", address}};
        SettingsValues sent;
        int code = session_.modify(kAddressBroadcast, choice, &sent);
        CardReply card;
        if (code == kExitDone)
            code = session_.restart(address, &card);
        if (code != kExitDone)
            return failure(code, prefix + session_.error(), fields, true);
        fields.insert("readBack", Console::readBackJson(card));
        if (const QStringList differences = compareReadBack(sent, card); !differences.isEmpty())
            return failure(kExitDiffers,
                           prefix + QStringLiteral("读回的设置不符：") +
                               differences.join(QStringLiteral("；")),
                           fields, true);
        QString line = prefix + Console::readBackLine(card);
        if (o_.initialText) {
            CardSession::SentText text;
            if (const int code =
                    session_.sendText(DisplayText::Initial, address, *o_.initialText, &text))
                return failure(code, prefix + session_.error(), fields, true);
            fields.insert("caption", text.caption);
            line += QStringLiteral("  ") + text.caption;
        }
        return done(line + QStringLiteral("  完成"), fields);
    }

    Options &o_;
    Console &console_;
    CardSession session_;
};

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    Console console;
    Options options;
    try {
        options = parse(app.arguments());
    } catch (const UsageError &e) {
        console.error(QStringLiteral("stravik-cli：%1（用法见 stravik-cli --help）").arg(e.text));
        return kExitUsage;
    }
    if (options.help) {
        console.write(QString::fromUtf8(kHelp));
        return kExitDone;
    }
    Run run(options, console);
    return run.exec();
}
