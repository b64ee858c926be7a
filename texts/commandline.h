#pragma once

#include "serial/portlist.h"

#include <QString>
#include <QStringList>

#include <optional>

// The command line's own texts: its help, its usage errors, its result lines and its
// questions. The texts it shares with the window are in texts/messages.h.
namespace msg::cli {

// The whole of --help.
QString help();

// A usage error as printed: "stravik-cli：<text>（用法见 stravik-cli --help）".
QString usageError(const QString &text);
QString badPolarity(const QString &option, const QString &value);
QString badScan(const QString &value);
QString badPort(const QString &value);
QString missingValue(const QString &option);
QString unexpectedValue(const QString &option);
QString unknownOption(const QString &option);
inline const QString kMissingCommand = QStringLiteral("缺少子命令");
QString unknownCommand(const QString &command);
QString optionNotTaken(const QString &command, const QString &option);
QString argumentCount(const QString &command, int wanted, qsizetype given);
inline const QString kBadWait = QStringLiteral("--wait 需要 500 到 60000 毫秒");
inline const QString kBadCount = QStringLiteral("--count 需要 1 到 256 之间的整数");
inline const QString kNeedsFirstAddress = QStringLiteral("provision 需要 --first-address");
inline const QString kSetNeedsSetting = QStringLiteral("set 至少需要一个设置选项");

// The polarity and scan words taken besides forward/reverse and half/full: the window's items.
std::optional<bool> forwardWord(const QString &value);
std::optional<bool> fullScreenWord(const QString &value);

// One line of `ports`: the port's device, described where the system describes it, with its USB
// ids where known; or that the port has no device.
QString portLine(const ListedPort &port);

// The broadcast question on a terminal, the refusal off one, and the refusal of a "no".
QString broadcastPrompt();
QString broadcastNeedsYes();
inline const QString kBroadcastNotConfirmed = QStringLiteral("未确认广播地址 0，设置未发送。");
// Whether an answer to the broadcast question is a yes.
bool isYes(const QString &answer);

QString modified(int address, const QString &settingsLine);
QString readBackDiffers(const QStringList &differences);
inline const QString kReadBackAgrees = QStringLiteral("；读回一致");

// The reasons a frame or a restart failed on the command line.
QString drainTimedOut(qint64 ms, qint64 bytes);
QString noReply(int address);
inline const QString kSettingsNotModified = QStringLiteral("设置未修改。");

// A frame more than a second on the line: bytes gone of the total.
QString progress(qint64 sent, qint64 total);

// Many lines at once.
QString portsFileUnreadable(const QString &file, const QString &why);
QString portsFileEmpty(const QString &file);
QString portTwice(const QString &port);
inline const QString kBadJobs = QStringLiteral("--jobs 需要 1 到 1000 之间的整数");
// provision and scan work on one line.
QString oneLineOnly(const QString &command);
// A result or an error of one line among many: each of its lines after the line's name.
QString onLine(const QString &port, const QString &text);
// The progress of the run on a terminal, and its last line.
QString linesProgress(int finished, int failed, int total);
QString linesSummary(int total, int failed);

// Ctrl+C in a run: a line cut short (frameBytes 0: no frame written; otherwise its last frame
// and the bytes of it that left), a line never started, and the last line.
QString interrupted(qint64 frameBytes, qint64 leftBytes);
inline const QString kNotStarted = QStringLiteral("未开始（已中断，Ctrl+C），什么也没有发送。");
QString linesInterrupted(int total, int done, int failed, int interrupted, int notStarted);

// --plan: the cards' settings saved as a plan for apply.
QString planUnwritable(const QString &file, const QString &why);
QString planWritten(const QString &file, qsizetype cards);

// provision.
QString lastAddressBeyond(int count, int last);
QString provisionSummary(int first, int next);
QString connectCard(int cardNumber);
QString retryPrompt(int cardNumber);
// "r" for a retry, "s" for a skip, nothing for an answer that is neither.
std::optional<QChar> retryAnswer(const QString &answer);
QString cardSkipped(int cardNumber);
QString cardPrefix(int cardNumber);
// A card done: its read-back, the caption of its initial text where one was sent, and "完成".
QString cardDone(const QString &readBack, const QString &caption);

// ---- scan: the cards on a line ----

inline const QString kBadScanRange =
    QStringLiteral("--from 和 --to 需要 1 到 255 之间的整数（0 是广播地址，所有控制卡会同时应答）");
inline const QString kScanRangeReversed = QStringLiteral("--from 不能大于 --to");
// Said before anything is sent: every card found restarts.
QString scanNotice(int from, int to);
inline const QString kScanPrompt = QStringLiteral("继续扫描吗？[y/N] ");
inline const QString kScanNeedsYes =
    QStringLiteral("不在终端上时需要 --yes 才能扫描。什么也没有发送。");
inline const QString kScanNotConfirmed = QStringLiteral("未确认扫描，什么也没有发送。");
// Ctrl+C: the addresses scanned to the end, from..last (none when last < from).
QString scanInterrupted(int from, int last);
// On a terminal while scan runs: the address asked now and the cards found so far.
QString scanProgress(int address, int to, qsizetype found);
// The addresses scanned, from..last, and the cards found there.
QString scanSummary(int from, int last, const QList<int> &found);

} // namespace msg::cli
