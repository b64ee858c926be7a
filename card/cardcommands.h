#pragma once

#include "protocol/frame.h"
#include "serial/commport.h"
#include "serial/linesettings.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>
#include <vector>

// A value of a command that can be refused.
enum class CommandValue { OriginalAddress, NewAddress, Rows, CharsPerRow, Text };

// Why a command sent nothing although the line was open.
struct Refusal {
    enum Reason {
        NotAByte,   // the value is not a whole number 0..255
        TooLong,    // the frame would exceed kMaxFrameLength
        NoCodePage, // this machine cannot convert text to code page 936
    };
    Reason reason;
    CommandValue value;
};

// What a command did.
struct CommandOutcome {
    enum Status {
        Sent,       // the whole frame was queued on the line
        Refused,    // nothing sent; refusal says which value and why
        PortClosed, // nothing sent: the line is not open
    };
    Status status = PortClosed;
    Refusal refusal{};
    Frame frame;          // Sent: the frame as written
    qint32 textBytes = 0; // Sent, display texts: code page 936 bytes of the text
};

// The card's answer to a restart: the bytes read and the settings they give.
struct CardReply {
    QByteArray bytes;
    ReplyValues values{};
};

// The two display texts a card keeps.
enum class DisplayText {
    Initial, // shown at power-on (letter S)
    Current, // shown now (letter D)
};

// The card's line: 9600 baud, no parity, 8 data bits, 1 stop bit.
inline const LineSettings kCardLine{9600, LineSettings::Parity::None, 8,
                                    LineSettings::StopBits::One};

// How long the card is given to answer a restart; on a local line the window always waits this.
inline constexpr std::chrono::milliseconds kReplyDelay{500};
// On a network line the reply is read after the card's time and the measured round trip. A
// device server may stand behind a relay that answers the connection itself, so a round trip
// measured on the connection can fall short of the way to the card: a reply that has not come in
// whole by then is awaited this much longer, the longest round trip the tool is made for.
inline constexpr std::chrono::milliseconds kReplyLateLimit{2000};
// How often the rest of a late reply is looked for.
inline constexpr std::chrono::milliseconds kReplyLateStep{20};

// The card commands on one serial line. Each command prepares the line, builds its frame once
// and writes it whole; only a restart reads, at the tick of the reply timer, which reports the
// card's settings with replyRead. Nothing here waits or talks to the operator.
class CardCommands : public QObject {
    Q_OBJECT
  public:
    explicit CardCommands(CommPort &line, QObject *parent = nullptr);

    // The settings frame (letter A) to the card at address 0..255; address 0 reaches every
    // card, so the caller confirms it first.
    [[nodiscard]] CommandOutcome modifySettings(int address, const SettingsValues &values);

    // The restart frame (letter X), then the reply timer: replyRead follows after replyDelay,
    // on a network line after replyDelay and the line's round trip (and, for a reply not yet
    // whole, until it is or kReplyLateLimit more has passed).
    [[nodiscard]] CommandOutcome restart(int address);

    // One of the display texts, line breaks as CR LF (WithCardLineBreaks), in code page 936.
    [[nodiscard]] CommandOutcome sendText(int address, DisplayText which, const QString &text,
                                          const CodePage936 &codePage = codePage936());

    // The card's time between a restart frame and the reading of the reply (kReplyDelay unless
    // a test or a slow card asks for more); a network line's round trip comes on top.
    void setReplyDelay(std::chrono::milliseconds delay) { replyDelay_ = delay; }
    std::chrono::milliseconds replyDelay() const { return replyDelay_; }
    bool replyPending() const { return replyTimer_.isActive(); }
    const QTimer &replyTimer() const { return replyTimer_; }
    // Forgets a reply still awaited; no replyRead follows.
    void cancelReply();

    // Off (the window's way): a restart's reply is read at the tick. On: while the reply timer
    // runs, the line is looked at every kReplyLateStep, and a reply that has come in whole
    // (IsWholeReply, after any echo) is read at once, the timer stopped; one not whole is still
    // read at the tick. For a caller that restarts many addresses one after another.
    void setReadWhenWhole(bool on) { readWhenWhole_ = on; }

    // The work of the reply timer's tick: stops the timer and reads the reply waiting now, or
    // none when fewer than 3 bytes wait or the line cannot be read (those bytes stay). The
    // restart frame's own bytes in front of the reply (an adapter that echoes) are not part of
    // it.
    std::optional<CardReply> readReply();

  signals:
    // The reply timer ticked: the card's reply, or none when fewer than 3 bytes were waiting
    // or the line could not be read (those bytes stay waiting).
    void replyRead(const std::optional<CardReply> &reply);

  private:
    void tick();
    void lookForWholeReply();
    QByteArray withoutEcho(const QByteArray &received) const;
    void preparePlain();
    CommandOutcome write(Frame frame, qint32 textBytes = 0);

    CommPort &line_;
    QTimer replyTimer_;
    std::chrono::milliseconds replyDelay_ = kReplyDelay;
    // The last frames written, newest first, for their echoes in front of a reply.
    std::vector<Frame> recentFrames_;
    QDeadlineTimer lateReplyLimit_; // a network line: how long a reply not yet whole is awaited
    QTimer wholeReplyLook_;         // read-when-whole: the look at the line while the timer runs
    bool readWhenWhole_ = false;
};

// A display text with every line break as the card's, CR LF: LF, CR LF, a lone CR and the
// Unicode line and paragraph separators alike (a text box's raw text separates its lines with
// the last two). Every other character stays as it is.
QString WithCardLineBreaks(const QString &text);
