#pragma once

#include "card/cardcommands.h"
#include "protocol/frame.h"

#include <QString>
#include <QStringList>

struct OpenError;

// Every text the tool shows the operator, in one place: the window shows them in its boxes and
// captions, the command line prints them (its own texts are in texts/commandline.h). The card
// core and the serial layer report values; these functions word them.
namespace msg {

// The window's captions, list items and start-up texts.
inline const QString kCaptionPort = QStringLiteral("串口");
inline const QString kNoteBroadcast = QStringLiteral("注1：原地址选择0时，为广播设置/重启！");
inline const QString kNoteTextLength =
    QStringLiteral("注2：单次发送不要超过100个字符（50个汉字）！");
inline const QString kButtonInitialText = QStringLiteral("设置（原地址）初始显示信息");
inline const QString kButtonModify = QStringLiteral("修改设置");
inline const QString kButtonRestart = QStringLiteral("重启(原地址)控制卡");
inline const QString kButtonCurrentText = QStringLiteral("发送（原地址）显示信息");
inline const QString kButtonExit = QStringLiteral("退     出");
inline const QString kStartInitialText = QStringLiteral("欢迎光临");
inline const QString kStartCurrentText = QStringLiteral("测试通信协议！");
inline const QString kOk = QStringLiteral("确定");
inline const QString kCancel = QStringLiteral("取消");

inline const QString kErrorTitle = QStringLiteral("错误提示");
inline const QString kOpenFailed = QStringLiteral("串口被占用或此串口不存在！请更改串口！");
inline const QString kPortNotOpen = QStringLiteral("串口未打开，命令未发送！请先选择可用的串口！");
inline const QString kTextTooLong = QStringLiteral("显示信息过长，未发送！");
inline const QString kNoGbkConversion = QStringLiteral("无法转换为GBK编码，显示信息未发送！");
inline const QString kBroadcastQuestion = QStringLiteral("确定将所有控制卡修改成相同地址吗？");
inline const QString kBroadcastTitle = QStringLiteral("控制卡地址修改");

inline const QString kLabelOriginalAddress = QStringLiteral("原地址");
inline const QString kLabelNewAddress = QStringLiteral("新地址");
inline const QString kLabelRows = QStringLiteral("行数");
inline const QString kLabelCharsPerRow = QStringLiteral("每行汉字数");
inline const QString kLabelData = QStringLiteral("数据正反向");
inline const QString kLabelOe = QStringLiteral("OE正反向");
inline const QString kLabelScan = QStringLiteral("扫描方式");

// "<label>必须是0到255之间的整数！"
inline QString notAByte(const QString &label) {
    return label + QStringLiteral("必须是0到255之间的整数！");
}

inline const QString kForward = QStringLiteral("正向");
inline const QString kReverse = QStringLiteral("反向");
inline const QString kHalfScreen = QStringLiteral("半屏");
inline const QString kFullScreen = QStringLiteral("全屏");

// A polarity as the lists show it.
inline const QString &polarity(bool forward) {
    return forward ? kForward : kReverse;
}
// A scan mode as the list shows it; a value the card has no name for, as its number.
QString scanMode(ScanMode mode, int value);

// The card's settings in the order of the window's lists, each as "<label> <value>", joined by
// two blanks: "原地址 1  行数 1  每行汉字数 4  数据正反向 反向  OE正反向 反向  扫描方式 半屏".
// The first is labelled "原地址" for a read-back, "新地址" for settings sent.
QString readBackLine(const CardReply &card);
QString settingsLine(const SettingsValues &values);
// The settings read back, compared with those sent: one text for each that differs,
// "行数 发送 3，读回 1".
QStringList readBackDifferences(const SettingsValues &sent, const CardReply &reply);

// The error box of a refused command.
QString refusal(const Refusal &refusal);

// The caption a display-text button shows after a send: "发送地址5显示信息(8)", the address as
// the operator gave it and the code page 936 bytes of the text.
QString textCaption(DisplayText which, const QString &address, qint32 textBytes);

// The system whose advice a text gives: device paths, groups and commands differ.
enum class System { Linux, Windows };
#ifdef Q_OS_WIN
inline constexpr System kThisSystem = System::Windows;
#else
inline constexpr System kThisSystem = System::Linux;
#endif

// The details under kOpenFailed: which device, and why it did not open.
QString openFailureDetails(int number, const OpenError &error, System system = kThisSystem);
// Why a network line did not open (error.kind is OpenError::Network).
QString networkFault(const OpenError &error);
// The tooltip of a port item that has no device.
QString noDevice(const QString &item, const QString &ghost);
// The port list's tooltip after a failed open: item is "COM3", or empty for a device or address
// typed into the list.
QString portNotOpened(const QString &item, const QString &device);
// A network line that went away while a frame was on its way: of the frame's bytes, how many the
// server's system acknowledged (it may still have dropped them).
QString lostDuringSend(qint64 taken, qint64 frameBytes);
// A network line still up whose server did not acknowledge the whole frame in time.
QString frameNotTaken(qint64 taken, qint64 frameBytes);
// A line that went away while the reply of a restart was awaited.
inline const QString kLostAwaitingReply =
    QStringLiteral("等待应答时连接断开（适配器拔出或网络连接中断），没有读到控制卡的设置。");

// What an open network line is: the address and the server's mode.
QString networkLine(const QString &address);

} // namespace msg
