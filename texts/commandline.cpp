#include "texts/commandline.h"

#include "texts/messages.h"

namespace msg::cli {

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
  scan [--from A] [--to B]       依次重启地址 A 到 B（默认 1 到 255），列出应答的控制卡
                                 及其设置；找到的控制卡都会重新启动
  apply 计划.csv [--dry-run]     按计划表设置多张控制卡：每行一张（见下文“计划表”）

通用选项：
  --port COMn|设备|地址          串口（默认 COM1，编号按窗口程序的规则对应设备），
                                 也可直接给设备路径，如 /dev/ttyUSB0，或串口服务器的地址：
                                 tcp://主机:端口（raw 模式，服务器须设为 9600 8N1）、
                                 rfc2217://主机:端口（由本程序设定 9600 8N1）；
                                 restart、set、initial-text、text 可以多次给出
  --ports 文件                   这些子命令在文件列出的每个串口上执行（每行一个串口，
                                 空行和 # 开头的行不算），与 --port 可以同时给出
  --jobs N                       多个串口时最多同时打开 N 个（默认 32，1 到 1000）
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
  --yes                          set：原地址 0（广播，所有控制卡都会修改成相同地址）、
                                 scan：重启线上的控制卡，都不再询问；不在终端上时必须给出
  --count M                      provision：完成 M 张控制卡后停止（否则到输入结束）
  --initial-text 文本            provision：每张控制卡核对通过后的初始显示信息
  --from A, --to B               scan：扫描的地址范围（1 到 255，A 不大于 B）；
                                 有控制卡的地址应答完整后立即扫描下一个，没有控制卡的
                                 地址等满 --wait 的时间；终端上显示正在扫描的地址
  --plan 文件                    scan、restart：把控制卡报告的设置写成 apply 可用的计划表
                                 （串口、地址和五项设置，UTF-8 带 BOM，Excel 可直接打开；
                                 不含文本，控制卡不报告文本）

原地址 0 是广播地址：线上所有控制卡都执行命令。文本为 - 时从标准输入读取（去掉最后
一个换行），以 - 开头的文本写在 -- 之后（选项都放在 -- 前面）；换行按窗口程序的方式以
CR LF 发送。一次发送的帧最长 32767 字节。文本在线路上超过一秒时，终端上显示已发送的
字节数。程序在帧全部离开串口后才返回。

多个串口时命令在各串口上同时执行，每条结果前是它的串口（--json 时为 port 字段）；
一个串口失败不影响其他串口。终端上显示进度，最后一行是汇总；退出码是各串口中最高的。
广播地址 0 只询问一次。打开的文件（描述符）不够时，串口等别的串口关闭后再打开；
没有别的串口打开时才失败（“打开的文件过多（上限 N）”）。

Ctrl+C（或 SIGTERM）：不再开始新的串口；一秒内能发完当前帧的串口发完，其余立即中断。
随后每个串口都列出结果：完成、失败及原因，或已中断（帧已完整发出、只发出一部分
（N / M 字节）或没有发出）；还没开始的串口列为“未开始”。最后是汇总，退出码 130
（--json 时每个对象有 status 字段：done、failed、interrupted、notStarted）。

计划表（apply）：CSV 文件，UTF-8（可带 BOM）或 GBK（中文 Excel 的“CSV（逗号分隔）”），
第一行是表头：port、address，以及 new-address、rows、chars、data、oe、scan、
initial-text、text 中的任意几列（也可用窗口上的名称：串口、原地址、新地址、行数、
每行汉字数、数据正反向、OE正反向、扫描方式、初始显示信息、显示信息）。每行依次：
修改设置并在新地址重启核对读回（给了设置时），发初始显示信息，发显示信息；读回不符的
行不发文本，同一串口后面的行照常执行。同一串口的行依次执行，不同串口同时执行。整个
计划先全部检查，有错时列出每个错的单元格（行号和列名），什么也不发送（退出码 5）。
--dry-run 只列出每行的帧（十六进制），不打开串口；只给了部分设置的行需要先读回，
无法预演。

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
  130 被 Ctrl+C 中断（每个串口的结果仍列出）
  scan：0 扫完且找到控制卡，3 扫完没有找到，130 被 Ctrl+C 中断（已找到的仍列出）

例：
  stravik-cli restart 1 --port /dev/ttyUSB0
  stravik-cli scan --from 1 --to 32 --port /dev/ttyUSB0
  stravik-cli text 1 "今日特价" --ports 门店.txt
  stravik-cli apply 计划.csv --dry-run
  stravik-cli scan --yes --port tcp://10.20.1.15:4001 --plan 门店1.csv
  stravik-cli set 1 --rows 2 --verify
  echo 欢迎光临 | stravik-cli initial-text 5 -
  stravik-cli provision --first-address 1 --count 20 --rows 2 --chars 8 \
      --data forward --oe forward --scan half --initial-text 欢迎光临
)";

} // namespace

QString help() {
    return QString::fromUtf8(kHelp);
}

QString usageError(const QString &text) {
    return QStringLiteral("stravik-cli：%1（用法见 stravik-cli --help）").arg(text);
}

QString badPolarity(const QString &option, const QString &value) {
    return QStringLiteral("%1 需要 forward（正向）或 reverse（反向），而不是 %2")
        .arg(option, value);
}

QString badScan(const QString &value) {
    return QStringLiteral("--scan 需要 half（半屏）或 full（全屏），而不是 %1").arg(value);
}

QString badPort(const QString &value) {
    return QStringLiteral("--port 需要 COM1 到 COM8 或设备路径，而不是 %1").arg(value);
}

QString missingValue(const QString &option) {
    return QStringLiteral("%1 缺少值").arg(option);
}

QString unexpectedValue(const QString &option) {
    return QStringLiteral("%1 不带值").arg(option);
}

QString unknownOption(const QString &option) {
    return QStringLiteral("未知选项 %1").arg(option);
}

QString unknownCommand(const QString &command) {
    return QStringLiteral("未知子命令 %1").arg(command);
}

QString optionNotTaken(const QString &command, const QString &option) {
    return QStringLiteral("%1 不接受选项 --%2").arg(command, option);
}

QString argumentCount(const QString &command, int wanted, qsizetype given) {
    return QStringLiteral("%1 需要 %2 个参数，给出了 %3 个").arg(command).arg(wanted).arg(given);
}

std::optional<bool> forwardWord(const QString &value) {
    if (value == u"forward" || value == msg::kForward)
        return true;
    if (value == u"reverse" || value == msg::kReverse)
        return false;
    return std::nullopt;
}

std::optional<bool> fullScreenWord(const QString &value) {
    if (value == u"half" || value == msg::kHalfScreen)
        return false;
    if (value == u"full" || value == msg::kFullScreen)
        return true;
    return std::nullopt;
}

QString portLine(const ListedPort &port) {
    if (!port.present())
        return noDevice(port.name(), port.ghost);
    if (port.description.isEmpty())
        return QStringLiteral("%1：%2（无适配器说明）").arg(port.name(), port.device);
    QString line = QStringLiteral("%1：%2").arg(port.name(), describe(port));
    if (port.usb)
        line += QStringLiteral("（USB %1:%2）")
                    .arg(port.usb->vendor, 4, 16, QLatin1Char('0'))
                    .arg(port.usb->product, 4, 16, QLatin1Char('0'))
                    .toUpper();
    return line;
}

QString broadcastPrompt() {
    return msg::kBroadcastQuestion + QStringLiteral("[y/N] ");
}

QString broadcastNeedsYes() {
    return msg::kBroadcastQuestion +
           QStringLiteral("\n原地址 0 会修改线上所有控制卡；不在终端上时需要 --yes。未发送。");
}

bool isYes(const QString &answer) {
    return answer == u"y" || answer == u"yes" || answer == u"是" || answer == u"确定";
}

QString modified(int address, const QString &settingsLine) {
    return QStringLiteral("已修改原地址 %1 的设置：%2").arg(address).arg(settingsLine);
}

QString readBackDiffers(const QStringList &differences) {
    return QStringLiteral("读回的设置不符：") + differences.join(QStringLiteral("；"));
}

QString drainTimedOut(qint64 ms, qint64 bytes) {
    return QStringLiteral("串口在 %1 毫秒内没有发完 %2 字节，已放弃。").arg(ms).arg(bytes);
}

QString noReply(int address) {
    return QStringLiteral("原地址 %1 的控制卡没有应答。").arg(address);
}

QString progress(qint64 sent, qint64 total) {
    return QStringLiteral("已发送 %1 / %2 字节").arg(sent).arg(total);
}

QString portsFileUnreadable(const QString &file, const QString &why) {
    return QStringLiteral("--ports 的文件 %1 读不出来：%2").arg(file, why);
}

QString portsFileEmpty(const QString &file) {
    return QStringLiteral("--ports 的文件 %1 里没有串口（每行一个，# 开头的行是注释）").arg(file);
}

QString portTwice(const QString &port) {
    return QStringLiteral("串口 %1 给了两次：每条线路只能连一次").arg(port);
}

QString oneLineOnly(const QString &command) {
    return QStringLiteral("%1 一次只用一个串口").arg(command);
}

QString onLine(const QString &port, const QString &text) {
    QStringList lines = text.split(u'\n');
    for (QString &line : lines)
        line = QStringLiteral("%1：%2").arg(port, line);
    return lines.join(u'\n');
}

QString linesProgress(int finished, int failed, int total) {
    return QStringLiteral("已完成 %1/%2 条线路，其中失败 %3").arg(finished).arg(total).arg(failed);
}

QString linesSummary(int total, int failed) {
    return failed == 0 ? QStringLiteral("共 %1 条线路，全部成功。").arg(total)
                       : QStringLiteral("共 %1 条线路：成功 %2，失败 %3。")
                             .arg(total)
                             .arg(total - failed)
                             .arg(failed);
}

QString interrupted(qint64 frameBytes, qint64 leftBytes) {
    if (frameBytes == 0)
        return QStringLiteral("已中断（Ctrl+C），什么也没有发送。");
    if (leftBytes >= frameBytes)
        return QStringLiteral("已中断（Ctrl+C）：帧已完整发出（%1 字节）。").arg(frameBytes);
    if (leftBytes <= 0)
        return QStringLiteral("已中断（Ctrl+C）：帧没有发出（0 / %1 字节）。").arg(frameBytes);
    return QStringLiteral("已中断（Ctrl+C）：帧只发出了一部分（%1 / %2 字节）。")
        .arg(leftBytes)
        .arg(frameBytes);
}

QString linesInterrupted(int total, int done, int failed, int interrupted, int notStarted) {
    return QStringLiteral("已中断（Ctrl+C）。共 %1 条线路：成功 %2，失败 %3，中断 %4，未开始 %5。")
        .arg(total)
        .arg(done)
        .arg(failed)
        .arg(interrupted)
        .arg(notStarted);
}

QString planUnwritable(const QString &file, const QString &why) {
    return QStringLiteral("无法写入计划文件 %1：%2").arg(file, why);
}

QString planWritten(const QString &file, qsizetype cards) {
    return QStringLiteral("已把 %1 张控制卡的设置写入计划 %2（用 apply 可以恢复）。")
        .arg(cards)
        .arg(file);
}

QString lastAddressBeyond(int count, int last) {
    return msg::notAByte(msg::kLabelNewAddress) +
           QStringLiteral("（第 %1 张控制卡的地址将是 %2）").arg(count).arg(last);
}

QString provisionSummary(int first, int next) {
    if (next == first)
        return QStringLiteral("没有完成任何控制卡。");
    return QStringLiteral("完成 %1 张控制卡，地址 %2 到 %3。")
        .arg(next - first)
        .arg(first)
        .arg(next - 1);
}

QString connectCard(int cardNumber) {
    return QStringLiteral("接上第 %1 张控制卡后按回车（线上只接这一张）").arg(cardNumber);
}

QString retryPrompt(int cardNumber) {
    return QStringLiteral("第 %1 张控制卡未通过检查：重试请按回车或输入 r，跳过请输入 s")
        .arg(cardNumber);
}

std::optional<QChar> retryAnswer(const QString &answer) {
    if (answer.isEmpty() || answer == u"r" || answer == u"重试")
        return u'r';
    if (answer == u"s" || answer == u"跳过")
        return u's';
    return std::nullopt;
}

QString cardSkipped(int cardNumber) {
    return QStringLiteral("第 %1 张控制卡已跳过，不计入。").arg(cardNumber);
}

QString cardPrefix(int cardNumber) {
    return QStringLiteral("第 %1 张控制卡：").arg(cardNumber);
}

QString cardDone(const QString &readBack, const QString &caption) {
    return readBack + (caption.isEmpty() ? QString() : QStringLiteral("  ") + caption) +
           QStringLiteral("  完成");
}

// ---- scan: the cards on a line ----

QString scanNotice(int from, int to) {
    return QStringLiteral("将依次重启地址 %1 到 %2 的控制卡：找到的每张控制卡都会重新启动"
                          "（重新显示初始显示信息）。")
        .arg(from)
        .arg(to);
}

QString scanInterrupted(int from, int last) {
    if (last < from)
        return QStringLiteral("扫描已中断（Ctrl+C），没有扫完任何地址。");
    return QStringLiteral("扫描已中断（Ctrl+C），已扫描地址 %1 到 %2。").arg(from).arg(last);
}

QString scanProgress(int address, int to, qsizetype found) {
    return QStringLiteral("正在扫描地址 %1（到 %2），已找到 %3 张控制卡")
        .arg(address)
        .arg(to)
        .arg(found);
}

QString scanSummary(int from, int last, const QList<int> &found) {
    const QString range = last < from ? QStringLiteral("没有扫描任何地址")
                                      : QStringLiteral("地址 %1 到 %2").arg(from).arg(last);
    if (found.isEmpty())
        return range + QStringLiteral("：没有找到控制卡。");
    QStringList numbers;
    for (const int address : found)
        numbers << QString::number(address);
    return range + QStringLiteral("：找到 %1 张控制卡（原地址 %2）。")
                       .arg(found.size())
                       .arg(numbers.join(QStringLiteral("、")));
}

} // namespace msg::cli
