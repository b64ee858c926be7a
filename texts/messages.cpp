#include "texts/messages.h"

#include "serial/line.h"
#include "serial/mscomm.h"

namespace msg {

namespace {

const QString kGhost = QStringLiteral("%1 是主板上没有硬件的串口（内核报告其端口类型未知）");

QString settingName(LineSetting setting) {
    switch (setting) {
    case LineSetting::BaudRate:
        return QStringLiteral("波特率");
    case LineSetting::DataBits:
        return QStringLiteral("数据位");
    case LineSetting::Parity:
        return QStringLiteral("校验位");
    case LineSetting::StopBits:
        return QStringLiteral("停止位");
    }
    return QString();
}

} // namespace

QString scanMode(ScanMode mode, int value) {
    switch (mode) {
    case ScanMode::Full:
        return kFullScreen;
    case ScanMode::Half:
        return kHalfScreen;
    case ScanMode::Unnamed:
        break;
    }
    return QString::number(value);
}

namespace {

QString settingsText(const QString &addressLabel, const QStringList &values) {
    const QString labels[] = {addressLabel, kLabelRows, kLabelCharsPerRow,
                              kLabelData,   kLabelOe,   kLabelScan};
    QStringList parts;
    for (qsizetype i = 0; i < values.size(); ++i)
        parts << labels[i] + u' ' + values[i];
    return parts.join(QStringLiteral("  "));
}

// The values of the settings frame as the card's reply would carry them.
ReplyValues asReply(const SettingsValues &v) {
    return {v.newAddress, v.rows, v.charsPerRow, v.polarityFlags, v.scanMode};
}

// The six values of a reply as texts, in the order of the window's lists.
QStringList valueTexts(const ReplyValues &v) {
    const Polarities polarities = DecodePolarityFlags(v[3]);
    return {QString::number(v[0]),          QString::number(v[1]),
            QString::number(v[2]),          polarity(polarities.dataForward),
            polarity(polarities.oeForward), scanMode(DecodeScanMode(v[4]), v[4])};
}

} // namespace

QString readBackLine(const CardReply &card) {
    return settingsText(kLabelOriginalAddress, valueTexts(card.values));
}

QString settingsLine(const SettingsValues &values) {
    return settingsText(kLabelNewAddress, valueTexts(asReply(values)));
}

QStringList readBackDifferences(const SettingsValues &sent, const CardReply &reply) {
    const QString labels[] = {kLabelNewAddress, kLabelRows, kLabelCharsPerRow,
                              kLabelData,       kLabelOe,   kLabelScan};
    const QStringList sentTexts = valueTexts(asReply(sent));
    const QStringList gotTexts = valueTexts(reply.values);
    QStringList differences;
    for (qsizetype i = 0; i < sentTexts.size(); ++i)
        if (sentTexts[i] != gotTexts[i])
            differences
                << QStringLiteral("%1 发送 %2，读回 %3").arg(labels[i], sentTexts[i], gotTexts[i]);
    return differences;
}

QString refusal(const Refusal &refusal) {
    switch (refusal.reason) {
    case Refusal::TooLong:
        return kTextTooLong;
    case Refusal::NoCodePage:
        return kNoGbkConversion;
    case Refusal::NotAByte:
        break;
    }
    switch (refusal.value) {
    case CommandValue::NewAddress:
        return notAByte(kLabelNewAddress);
    case CommandValue::Rows:
        return notAByte(kLabelRows);
    case CommandValue::CharsPerRow:
        return notAByte(kLabelCharsPerRow);
    default:
        return notAByte(kLabelOriginalAddress);
    }
}

QString textCaption(DisplayText which, const QString &address, qint32 textBytes) {
    const bool initial = which == DisplayText::Initial;
    return (initial ? QStringLiteral("设置地址") : QStringLiteral("发送地址")) + address +
           (initial ? QStringLiteral("初始显示信息(") : QStringLiteral("显示信息(")) +
           QString::number(textBytes) + u')';
}

QString openFailureDetails(int number, const OpenError &error, System system) {
    const QString &device = error.device;
    const bool onLinux = system == System::Linux;
    switch (error.kind) {
    case OpenError::None:
        return QString();
    case OpenError::NoDevice:
        // Only Linux numbers its on-board ports as devices of their own (/dev/ttyS0 is COM1).
        return QStringLiteral("COM%1 没有对应的设备").arg(number) +
               (!onLinux                 ? QString()
                : error.device.isEmpty() ? QStringLiteral("：/dev/ttyS%1 不存在").arg(number - 1)
                                         : u'：' + kGhost.arg(device)) +
               QStringLiteral("，也没有 USB 串口适配器可分给这个编号。请插上适配器后重新选择串口，"
                              "或选择其他串口。");
    case OpenError::Ghost:
        return kGhost.arg(device) + QStringLiteral("，打开后也收发不了数据。请选择其他串口。");
    case OpenError::Absent:
        return QStringLiteral("%1 不存在（设备已拔出，或名称有误）。").arg(device);
    case OpenError::PermissionDenied: {
        if (!onLinux)
            return QStringLiteral("没有权限打开 %1。").arg(device);
        const QString group = error.group.isEmpty() ? QStringLiteral("dialout") : error.group;
        return QStringLiteral("没有权限打开 %1。请把当前用户加入拥有该设备的用户组 %2"
                              "（Debian 上为 dialout）：sudo adduser $USER %2，"
                              "然后注销并重新登录。")
            .arg(device, group);
    }
    case OpenError::Busy:
        if (error.holderPid > 0)
            return QStringLiteral("%1 正被另一个程序占用（进程 %2%3）。请先关闭该程序。")
                .arg(device)
                .arg(error.holderPid)
                .arg(error.holderName.isEmpty() ? QString() : u' ' + error.holderName);
        return QStringLiteral("%1 正被另一个程序占用。请先关闭该程序。").arg(device);
    case OpenError::Other:
        if (!error.failedCall.isEmpty())
            return QStringLiteral("无法打开 %1：%2：%3")
                .arg(device, error.failedCall, error.systemMessage);
        return QStringLiteral("无法打开 %1：%2").arg(device, error.systemMessage);
    case OpenError::Network:
        return QStringLiteral("无法连接 %1：%2").arg(device, networkFault(error));
    case OpenError::TooManyFiles: {
        const QString why = error.fileLimit > 0
                                ? QStringLiteral("打开的文件过多（上限 %1）").arg(error.fileLimit)
                                : QStringLiteral("打开的文件过多");
        return (KindOfPort(device) == LineKind::Local ? QStringLiteral("无法打开 %1：%2")
                                                      : QStringLiteral("无法连接 %1：%2"))
            .arg(device, why);
    }
    }
    return QString();
}

QString networkFault(const OpenError &error) {
    const NetworkFault &f = error.network;
    switch (f.kind) {
    case NetworkFault::None:
        break;
    case NetworkFault::BadAddress:
        return QStringLiteral("地址写法不对，应为 %1://主机:端口（IPv6 地址写在 [ ] 里）")
            .arg(f.scheme);
    case NetworkFault::ConnectTimeout:
        return QStringLiteral("连接超时（%1 秒）").arg(f.seconds);
    case NetworkFault::Refused:
        return QStringLiteral("连接被拒绝");
    case NetworkFault::HostNotFound:
        return QStringLiteral("找不到主机");
    case NetworkFault::Unreachable:
        return QStringLiteral("网络或主机不可达");
    case NetworkFault::ClosedByServer:
        return f.serverSaid.isEmpty() ? QStringLiteral("服务器关闭了连接")
                                      : QStringLiteral("服务器关闭了连接：") + f.serverSaid;
    case NetworkFault::SocketError:
        return QStringLiteral("网络错误：") + error.systemMessage;
    case NetworkFault::NoNegotiation:
        return QStringLiteral("服务器 %1 秒内没有回应 RFC 2217 协商（可能处于 raw 模式），"
                              "请改用 tcp://")
            .arg(f.seconds);
    case NetworkFault::NotRfc2217:
        return QStringLiteral(
            "服务器不支持 RFC 2217（处于普通 Telnet 或 raw 模式），请改用 tcp://");
    case NetworkFault::NotConfirmed:
        return QStringLiteral("服务器 %1 秒内没有确认%2")
            .arg(f.seconds)
            .arg(settingName(f.setting));
    case NetworkFault::NotAccepted:
        return QStringLiteral("服务器没有接受%1：请求 %2，回答 %3")
            .arg(settingName(f.setting), f.requested, f.answered);
    }
    return error.systemMessage;
}

QString noDevice(const QString &item, const QString &ghost) {
    return ghost.isEmpty() ? QStringLiteral("%1：没有对应的设备").arg(item)
                           : QStringLiteral("%1：没有对应的设备（%2 没有硬件）").arg(item, ghost);
}

QString portNotOpened(const QString &item, const QString &device) {
    if (item.isEmpty())
        return QStringLiteral("%1 未能打开").arg(device);
    return device.isEmpty() ? QStringLiteral("%1：没有对应的设备，未打开").arg(item)
                            : QStringLiteral("%1：%2 未能打开").arg(item, device);
}

QString networkLine(const QString &address) {
    return KindOfPort(address) == LineKind::Rfc2217
               ? QStringLiteral("%1 — 串口服务器（RFC 2217，线路设置 %2 由本程序设定）")
                     .arg(address, kCardLine.text())
               : QStringLiteral("%1 — 串口服务器（raw TCP，线路设置须在服务器上设为 %2）")
                     .arg(address, kCardLine.text());
}

QString lostDuringSend(qint64 taken, qint64 frameBytes) {
    return QStringLiteral("发送中断开：与服务器的连接在帧送完之前断开（服务器确认收到帧的 %1 / %2 "
                          "字节），控制卡可能没有收到完整的命令。")
        .arg(taken)
        .arg(frameBytes);
}

QString frameNotTaken(qint64 taken, qint64 frameBytes) {
    return QStringLiteral("服务器没有及时收下帧：%1 / %2 字节，已放弃。")
        .arg(taken)
        .arg(frameBytes);
}

} // namespace msg
