#pragma once

#include "cli/headlesswindow.h"
#include "protocol/commands.h"
#include "serial/mscomm.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// How the program ends; the manual page and --help list them.
enum ExitCode {
    kExitDone = 0,
    kExitUsage = 1,
    kExitPort = 2,    // the port could not be opened, or went away
    kExitNoReply = 3, // the card did not answer a restart
    kExitDiffers = 4, // the settings read back are not those sent
    kExitRefused = 5, // a value or text was refused, or the broadcast was not confirmed
};

// The port named on the command line: COM1..COM8 by the machine's rule, or a device.
struct PortChoice {
    int number = 1;
    QString device; // empty: the device COM<number> opens now
};

// A card's settings as the window's lists show them after the reply reader ran. A value that
// no item of its list stands for (rows above 8, an unknown scan mode) is given as its number.
struct ReadBack {
    QByteArray raw; // the bytes of the reply
    QString address, rows, chars, data, oe, scan;
};

// The settings given on the command line, as typed; an empty one keeps what the card holds.
struct SettingsChoice {
    QString newAddress, rows, chars, data, oe, scan;
    // Whether the frame can be made without asking the card first. Without a new address the
    // card keeps its address: the one it is addressed at, or for the broadcast address the
    // one the answering card reports.
    bool needsReadBack(const QString &address) const;
};

// The card commands of the window's serial control, recording the last reply they read.
class RecordingPort : public CommPort {
  public:
    explicit RecordingPort(MSComm &port) : port_(port) {}
    QByteArray lastInput() const { return lastInput_; }
    void forgetInput() { lastInput_.clear(); }

    CommResult setCommPort(int number) override { return port_.setCommPort(number); }
    int commPort() const override { return port_.commPort(); }
    CommResult setSettings(const QString &s) override { return port_.setSettings(s); }
    bool portOpen() const override { return port_.portOpen(); }
    CommResult setPortOpen(bool open) override { return port_.setPortOpen(open); }
    CommResult setInputMode(int mode) override { return port_.setInputMode(mode); }
    CommResult setInputLen(int length) override { return port_.setInputLen(length); }
    CommResult setSThreshold(int bytes) override { return port_.setSThreshold(bytes); }
    CommResult setRThreshold(int bytes) override { return port_.setRThreshold(bytes); }
    std::optional<int> inBufferCount() override { return port_.inBufferCount(); }
    CommResult setInBufferCount(int count) override { return port_.setInBufferCount(count); }
    // The commands empty the send buffer before they write, to drop what an earlier command
    // left unsent. Here every frame has drained before the next command starts, so there is
    // nothing to drop; on a pseudo-terminal the flush would even take back bytes that the peer
    // has not read yet, which the driver no longer counts as unsent. Only bytes that really
    // wait are discarded.
    CommResult setOutBufferCount(int count) override {
        if (count == 0 && port_.portOpen() && port_.unsentBytes() == 0)
            return CommResult::Ok;
        return port_.setOutBufferCount(count);
    }
    CommResult setOutput(const QByteArray &bytes) override { return port_.setOutput(bytes); }
    std::optional<QByteArray> input() override {
        auto got = port_.input();
        if (got)
            lastInput_ += *got;
        return got;
    }

  private:
    MSComm &port_;
    QByteArray lastInput_;
};

// One port and the window's controls over it: each step runs the window's own command and
// returns an ExitCode; error() tells what went wrong in the window's words.
class CardSession {
  public:
    explicit CardSession(const PortChoice &choice);

    int open();
    HeadlessWindow &window() { return window_; }
    QString error() const { return error_; }

    // Bytes of a frame gone out of the total, while a long frame drains.
    void setProgress(std::function<void(qint64 sent, qint64 total)> progress) {
        progress_ = std::move(progress);
    }

    // The restart frame, then the reply read at the tick of the reply timer.
    int restart(const QString &address, ReadBack *readBack);

    // The settings frame to address: the values given, the others as the card reports them
    // (read by a restart first where any is missing). *sent gets the values of the frame.
    int modify(const QString &address, const SettingsChoice &choice, SettingsValues *sent);

    // One of the two display texts to address; *caption gets the button's caption after it.
    int sendText(const DisplayTextTarget &target, const QString &address, const QString &text,
                 QString *caption);

  private:
    int fail(int code, const QString &error);
    int outcomeCode(CommandOutcome outcome);
    int drain(qint64 total);

    PortChoice choice_;
    MSComm port_;
    RecordingPort recorder_{port_};
    HeadlessWindow window_;
    QString error_;
    std::function<void(qint64, qint64)> progress_;
};

// The settings values of the read-back, compared with those sent: one text for each that
// differs, "行数 发送 3，读回 1".
QStringList compareReadBack(const SettingsValues &sent, const ReadBack &readBack);

// Labels of the settings, as the window names them.
namespace cli {
inline const QString kLabelData = QStringLiteral("数据正反向");
inline const QString kLabelOe = QStringLiteral("OE正反向");
inline const QString kLabelScan = QStringLiteral("扫描方式");
} // namespace cli
