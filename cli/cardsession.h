#pragma once

#include "card/cardcommands.h"
#include "cli/task.h"
#include "serial/mscomm.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// How the program ends; the manual page and --help list them.
enum ExitCode {
    kExitDone = 0,
    kExitUsage = 1,
    kExitPort = 2,    // the port could not be opened, or went away
    kExitNoReply = 3, // the card did not answer a restart
    kExitDiffers = 4, // the settings read back are not those sent
    kExitRefused = 5, // a value or text was refused, or the broadcast was not confirmed
    // Ended by Ctrl+C (or SIGTERM), as a shell reports a program the signal ended.
    kExitInterrupted = 130,
};

// How many lines a run opens together, unless --jobs says.
inline constexpr int kDefaultJobs = 32;

// The port named on the command line: COM1..COM8 by the machine's rule, or a device.
struct PortChoice {
    int number = 1;
    QString device; // empty: the device COM<number> opens now
};

// The settings given on the command line; one not given keeps what the card holds.
struct SettingsChoice {
    std::optional<int> newAddress, rows, chars;
    std::optional<bool> dataForward, oeForward, fullScreen;
    // Whether the frame needs the card's settings first. Without a new address the card keeps
    // its address: the one it is addressed at, or for the broadcast address the one the
    // answering card reports.
    bool needsReadBack(int address) const;
};

// One port and the card commands on it: each step is a task whose value is an ExitCode;
// error() tells what went wrong in the window's words. The steps never hold the event loop, so
// that many sessions run side by side in one.
class CardSession {
  public:
    explicit CardSession(const PortChoice &choice);

    Task<int> open();
    // Lets go of the line: what a server still carries of the last frame goes first.
    Task<int> close();
    QString error() const { return error_; }

    // The wait for a restart's reply; at least the window's half second.
    void setReplyDelay(std::chrono::milliseconds delay) { card_.setReplyDelay(delay); }
    // A restart's reply read as soon as it has come in whole rather than at the reply timer's
    // tick (CardCommands::setReadWhenWhole): an address with a card moves on at once.
    void setReadWhenWhole(bool on) { card_.setReadWhenWhole(on); }
    // Bytes of a frame gone out of the total, while a long frame drains.
    void setProgress(std::function<void(qint64 sent, qint64 total)> progress) {
        progress_ = std::move(progress);
    }

    // Ctrl+C. A frame under way that will have left within grace (its unsent bytes at the
    // line's pace, and the line's round trip) goes on to its end; any other wait ends now, and
    // what is still to be sent is dropped. No step starts after it: each ends with
    // kExitInterrupted, as does the step that was cut.
    void stop(std::chrono::milliseconds grace);
    // Whatever still runs, a frame let go on or the line's close, ends now.
    void cut();
    bool stopped() const { return stop_ != Stop::None; }

    // The last frame written and how many of its bytes left: a network line's server has
    // acknowledged them, a local port's driver has put them on the line.
    struct Frame {
        qint64 bytes = 0;
        qint64 left = 0;
    };
    std::optional<Frame> lastFrame() const { return frame_; }

    // The restart frame, then the reply read at the tick of the reply timer.
    Task<int> restart(int address, CardReply *reply);

    // The settings frame to address: the values given, the others as the card reports them
    // (read by a restart first where any is missing). *sent gets the values of the frame.
    Task<int> modify(int address, SettingsChoice choice, SettingsValues *sent);

    // modify, then a restart at the address the frame gives, whose read-back must agree with
    // what was sent: kExitDiffers otherwise, with error() naming the differences. *checked
    // tells how far it came.
    struct Checked {
        std::optional<SettingsValues> sent; // once the settings frame has gone
        std::optional<CardReply> readBack;  // once the card has answered the restart
    };
    Task<int> modifyAndCheck(int address, SettingsChoice choice, Checked *checked);

    // One of the display texts to address.
    struct SentText {
        QString caption;       // what the window's button would show after it
        qint32 textBytes = 0;  // code page 936 bytes of the text
        qint64 frameBytes = 0; // bytes on the line
    };
    Task<int> sendText(DisplayText which, int address, QString text, SentText *sent);

    ~CardSession();
    CardSession(const CardSession &) = delete;
    CardSession &operator=(const CardSession &) = delete;

  private:
    enum class Stop { None, FinishFrame, Cut };

    int fail(int code, const QString &error);
    // kExitInterrupted, with error() saying how much of the last frame left.
    int cutShortBy();
    // Ends a step cut by Ctrl+C: the line let go at once.
    int interrupted();
    // The bytes of the frame under way that have left so far.
    qint64 frameLeft() const;
    // Whether this session counts among the lines that hold descriptors (open, or on their way
    // in or out): an open that finds none free waits for one of them to let go.
    void holdDescriptors(bool hold);
    Task<int> openOnce(bool *outOfDescriptors);
    Task<int> sent(CommandOutcome outcome);
    // Notes a frame just written as the one under way.
    void written(const CommandOutcome &outcome);
    // Until the line has carried what was written: false when it could not.
    Task<bool> drained();
    // Why a frame did not go: a network line lost during the send, or a port no longer open.
    QString lostFrame(qint64 frameBytes) const;

    MSComm port_;
    PortChoice choice_;
    CardCommands card_;
    QString error_;
    std::function<void(qint64, qint64)> progress_;
    bool network_ = false;           // the port is a device server's connection
    std::optional<CardReply> reply_; // the last restart's reply, as the reply timer read it
    Stop stop_ = Stop::None;
    std::optional<Frame> frame_;
    bool frameUnderWay_ = false;
    QElapsedTimer frameWritten_; // since the frame under way was written
    bool holding_ = false;
    std::function<void()> cutShort_; // ends the wait under way, if any
};
