#include "cli/cardsession.h"
#include "cli/console.h"
#include "protocol/frame.h"
#include "protocol/messages.h"

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
  --port COMn|设备               串口（默认 COM1，编号按窗口程序的规则对应设备），
                                 也可直接给设备路径，如 /dev/ttyUSB0
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
                                 500 到 60000），用于应答较慢的控制卡
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
  2  串口打不开（附原因），或使用中断开
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
    SettingsChoice settings;
    std::set<QString> given;
};

// The options each command takes, and how many positional arguments.
struct CommandShape {
    int positional;
    std::set<QString> options;
};
const std::map<QString, CommandShape> &commands() {
    const std::set<QString> settings{"--new-address", "--rows", "--chars",
                                     "--data",        "--oe",   "--scan"};
    auto with = [&](std::set<QString> own, bool withSettings) {
        own.insert({"--json", "--help"});
        if (withSettings)
            own.insert(settings.begin(), settings.end());
        return own;
    };
    static const std::map<QString, CommandShape> all{
        {"ports", {0, with({}, false)}},
        {"restart", {1, with({"--port", "--wait"}, false)}},
        {"set", {1, with({"--port", "--wait", "--verify", "--yes"}, true)}},
        {"initial-text", {2, with({"--port"}, false)}},
        {"text", {2, with({"--port"}, false)}},
        {"provision",
         {0,
          [&] {
              auto own =
                  with({"--port", "--wait", "--first-address", "--count", "--initial-text"}, true);
              own.erase("--new-address");
              return own;
          }()}},
    };
    return all;
}

struct UsageError {
    QString text;
};

std::optional<int> wholeNumber(const QString &text, int low, int high) {
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n >= low && n <= high ? std::optional<int>(n) : std::nullopt;
}

QString polarity(const QString &option, const QString &value) {
    if (value == u"forward" || value == msg::kForward)
        return msg::kForward;
    if (value == u"reverse" || value == msg::kReverse)
        return msg::kReverse;
    throw UsageError{
        QStringLiteral("%1 需要 forward（正向）或 reverse（反向），而不是 %2").arg(option, value)};
}

QString scanMode(const QString &value) {
    if (value == u"half" || value == msg::kHalfScreen)
        return msg::kHalfScreen;
    if (value == u"full" || value == msg::kFullScreen)
        return msg::kFullScreen;
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
    if (!number)
        throw UsageError{
            QStringLiteral("--port 需要 COM1 到 COM8 或设备路径，而不是 %1").arg(value)};
    return PortChoice{*number, QString()};
}

Options parse(const QStringList &args) {
    Options o;
    bool optionsEnd = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        QString arg = args[i];
        if (optionsEnd || !arg.startsWith(u'-') || arg == u"-") {
            if (o.command.isEmpty())
                o.command = arg;
            else
                o.positional << arg;
            continue;
        }
        if (arg == u"--") {
            optionsEnd = true;
            continue;
        }
        QString value;
        bool hasValue = false;
        if (const qsizetype eq = arg.indexOf(u'='); arg.startsWith(u"--") && eq > 0) {
            value = arg.mid(eq + 1);
            arg = arg.left(eq);
            hasValue = true;
        }
        if (arg == u"-h")
            arg = QStringLiteral("--help");
        o.given.insert(arg);
        const auto flag = [&](bool &target) {
            if (hasValue)
                throw UsageError{QStringLiteral("%1 不带值").arg(arg)};
            target = true;
        };
        if (arg == u"--help") {
            flag(o.help);
            continue;
        } else if (arg == u"--json") {
            flag(o.json);
            continue;
        } else if (arg == u"--yes") {
            flag(o.yes);
            continue;
        } else if (arg == u"--verify") {
            flag(o.verify);
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= args.size())
                throw UsageError{QStringLiteral("%1 缺少值").arg(arg)};
            value = args[++i];
        }
        if (arg == u"--port") {
            o.port = portChoice(value);
        } else if (arg == u"--wait") {
            const auto ms = wholeNumber(value, 500, 60000);
            if (!ms)
                throw UsageError{QStringLiteral("--wait 需要 500 到 60000 毫秒")};
            o.waitMs = *ms;
        } else if (arg == u"--count") {
            o.count = wholeNumber(value, 1, 256);
            if (!o.count)
                throw UsageError{QStringLiteral("--count 需要 1 到 256 之间的整数")};
        } else if (arg == u"--first-address") {
            o.firstAddress = value;
        } else if (arg == u"--initial-text") {
            o.initialText = value;
        } else if (arg == u"--new-address") {
            o.settings.newAddress = value;
        } else if (arg == u"--rows") {
            o.settings.rows = value;
        } else if (arg == u"--chars") {
            o.settings.chars = value;
        } else if (arg == u"--data") {
            o.settings.data = polarity(arg, value);
        } else if (arg == u"--oe") {
            o.settings.oe = polarity(arg, value);
        } else if (arg == u"--scan") {
            o.settings.scan = scanMode(value);
        } else {
            throw UsageError{QStringLiteral("未知选项 %1").arg(arg)};
        }
    }
    if (o.help)
        return o;
    if (o.command.isEmpty())
        throw UsageError{QStringLiteral("缺少子命令")};
    const auto shape = commands().find(o.command);
    if (shape == commands().end())
        throw UsageError{QStringLiteral("未知子命令 %1").arg(o.command)};
    for (const QString &option : o.given)
        if (!shape->second.options.count(option))
            throw UsageError{QStringLiteral("%1 不接受选项 %2").arg(o.command, option)};
    if (o.positional.size() != shape->second.positional)
        throw UsageError{QStringLiteral("%1 需要 %2 个参数，给出了 %3 个")
                             .arg(o.command)
                             .arg(shape->second.positional)
                             .arg(o.positional.size())};
    if (o.command == u"provision" && o.firstAddress.isEmpty())
        throw UsageError{QStringLiteral("provision 需要 --first-address")};
    if (o.command == u"set" && !o.given.count("--new-address") && !o.given.count("--rows") &&
        !o.given.count("--chars") && !o.given.count("--data") && !o.given.count("--oe") &&
        !o.given.count("--scan"))
        throw UsageError{QStringLiteral("set 至少需要一个设置选项")};
    return o;
}

// The first refusal the window would show for these typed numbers, in its order.
std::optional<QString> refuseNumbers(const std::vector<std::pair<QString, QString>> &typed) {
    for (const auto &[label, text] : typed)
        if (!ParseByteText(text))
            return msg::notAByte(label);
    return std::nullopt;
}

std::vector<std::pair<QString, QString>> settingsNumbers(const SettingsChoice &s) {
    std::vector<std::pair<QString, QString>> out;
    for (const auto &[label, text] : {std::pair{msg::kLabelNewAddress, s.newAddress},
                                      {msg::kLabelRows, s.rows},
                                      {msg::kLabelCharsPerRow, s.chars}})
        if (!text.isEmpty())
            out.emplace_back(label, text);
    return out;
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
    Run(const Options &options, Console &console)
        : o_(options), console_(console), session_(options.port) {
        session_.window().setMinimumInterval(std::chrono::milliseconds(o_.waitMs));
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
        return text(o_.command == u"text" ? currentDisplayText() : initialDisplayText());
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

    int done(const QString &line, QJsonObject fields) {
        fields.insert("command", o_.command);
        fields.insert("exit", kExitDone);
        if (o_.json)
            console_.json(fields);
        else
            console_.line(line);
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
            if (o_.json)
                console_.json(fields);
            else
                console_.line(line);
        }
        return kExitDone;
    }

    int restart() {
        const QString address = o_.positional[0];
        if (auto refusal = refuseNumbers({{msg::kLabelOriginalAddress, address}}))
            return refuse(*refusal);
        if (const int code = openPort())
            return code;
        ReadBack card;
        if (const int code = session_.restart(address, &card))
            return sessionFailure(code);
        QJsonObject fields = Console::readBackJson(card);
        return done(Console::readBackLine(card), fields);
    }

    // Refuses address 0 unless the operator agrees, before anything is written.
    std::optional<int> confirmBroadcast(const QString &address) {
        if (ParseByteText(address) != kAddressBroadcast)
            return std::nullopt;
        if (o_.yes) {
            session_.window().setBroadcastAnswer(true);
            return std::nullopt;
        }
        if (!console_.interactive())
            return refuse(msg::kBroadcastQuestion +
                          QStringLiteral("\n原地址 0 会修改线上所有控制卡；不在终端上时需要 "
                                         "--yes。未发送。"));
        const auto answer = console_.ask(msg::kBroadcastQuestion + QStringLiteral("[y/N] "));
        if (!answer ||
            !(answer == u"y" || answer == u"yes" || answer == u"是" || answer == u"确定"))
            return refuse(QStringLiteral("未确认广播地址 0，设置未发送。"));
        session_.window().setBroadcastAnswer(true);
        return std::nullopt;
    }

    int set() {
        const QString address = o_.positional[0];
        auto numbers = settingsNumbers(o_.settings);
        numbers.insert(numbers.begin(), {msg::kLabelOriginalAddress, address});
        if (auto refusal = refuseNumbers(numbers))
            return refuse(*refusal);
        if (auto refused = confirmBroadcast(address))
            return *refused;
        if (const int code = openPort())
            return code;
        SettingsValues sent;
        if (const int code = session_.modify(address, o_.settings, &sent))
            return sessionFailure(code);
        QJsonObject fields{{"address", *ParseByteText(address)},
                           {"sent", Console::settingsJson(sent)}};
        QString line = QStringLiteral("已修改原地址 %1 的设置：%2")
                           .arg(address.trimmed(), Console::settingsLine(sent));
        if (o_.verify) {
            ReadBack card;
            if (const int code = session_.restart(QString::number(sent.newAddress), &card))
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

    int text(const DisplayTextTarget &target) {
        const QString address = o_.positional[0];
        const QString given = o_.positional[1] == u"-" ? readStandardInput() : o_.positional[1];
        if (auto refusal = refuseNumbers({{msg::kLabelOriginalAddress, address}}))
            return refuse(*refusal);
        const DisplayTextFrame built = BuildDisplayTextFrame(*ParseByteText(address), target.letter,
                                                             HeadlessWindow::boxText(given));
        if (static_cast<qsizetype>(built.frame.size()) > kMaxFrameLength)
            return refuse(msg::kTextTooLong);
        if (const int code = openPort())
            return code;
        QString caption;
        if (const int code = session_.sendText(target, address, given, &caption))
            return sessionFailure(code);
        return done(caption, {{"address", *ParseByteText(address)},
                              {"bytes", built.B},
                              {"frameBytes", static_cast<qint64>(built.frame.size())},
                              {"caption", caption}});
    }

    int provision() {
        // Every address the run may give, and the text, are checked before the first card.
        auto numbers = settingsNumbers(o_.settings);
        numbers.insert(numbers.begin(), {msg::kLabelNewAddress, o_.firstAddress});
        if (auto refusal = refuseNumbers(numbers))
            return refuse(*refusal);
        const int first = *ParseByteText(o_.firstAddress);
        const int last = o_.count ? first + *o_.count - 1 : 255;
        if (last > 255)
            return refuse(
                msg::notAByte(msg::kLabelNewAddress) +
                QStringLiteral("（第 %1 张控制卡的地址将是 %2）").arg(*o_.count).arg(last));
        if (o_.initialText) {
            const DisplayTextFrame built = BuildDisplayTextFrame(
                last, kLetterInitialText, HeadlessWindow::boxText(*o_.initialText));
            if (static_cast<qsizetype>(built.frame.size()) > kMaxFrameLength)
                return refuse(msg::kTextTooLong);
        }
        if (const int code = openPort())
            return code;
        // The operator connects one card alone and confirms it with Enter: that is the answer
        // to the broadcast question.
        session_.window().setBroadcastAnswer(true);

        int result = kExitDone;
        int cardNumber = 1;
        int address = first;
        const auto summary = [&] {
            console_.error(address == first ? QStringLiteral("没有完成任何控制卡。")
                                            : QStringLiteral("完成 %1 张控制卡，地址 %2 到 %3。")
                                                  .arg(address - first)
                                                  .arg(first)
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

    int setUpCard(int cardNumber, int address) {
        SettingsChoice choice = o_.settings;
        choice.newAddress = QString::number(address);
        const QString prefix = QStringLiteral("第 %1 张控制卡：").arg(cardNumber);
        QJsonObject fields{{"card", cardNumber}, {"address", address}};
        SettingsValues sent;
        int code = session_.modify(QString::number(kAddressBroadcast), choice, &sent);
        ReadBack card;
        if (code == kExitDone)
            code = session_.restart(QString::number(address), &card);
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
            QString caption;
            if (const int sentText = session_.sendText(
                    initialDisplayText(), QString::number(address), *o_.initialText, &caption))
                return failure(sentText, prefix + session_.error(), fields, true);
            fields.insert("caption", caption);
            line += QStringLiteral("  ") + caption;
        }
        return done(line + QStringLiteral("  完成"), fields);
    }

    const Options &o_;
    Console &console_;
    CardSession session_;
};

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    Console console;
    Options options;
    try {
        options = parse(app.arguments().mid(1));
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
