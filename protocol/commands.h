#pragma once

#include "protocol/frame.h"
#include "protocol/windowops.h"
#include "serial/commport.h"

#include <chrono>

// How a command ended.
enum class CommandOutcome {
    Sent,       // the whole frame was queued on the port
    Cancelled,  // the operator declined the broadcast confirmation
    PortClosed, // nothing sent: the port is not open
    Refused,    // nothing sent: a list holds no whole number 0..255
    TooLong,    // nothing sent: the frame would exceed kMaxFrameLength
    NoCodePage, // nothing sent: the machine cannot convert text to code page 936
};

// How long the reply timer gives the card to answer a restart; the program always waits this.
inline constexpr std::chrono::milliseconds kReplyDelay{500};

// The start-up contents: the option lists with their fixed values and first shown entries, and
// the welcome text in the initial-text box.
void FillLists(WindowOperations &window);

// The modify-settings command: new address, rows, characters per row, polarities and scan
// mode to the card at the original address, after a confirmation for address 0.
[[nodiscard]] CommandOutcome ModifySettings(WindowOperations &window, CommPort &port);

// The restart command: the restart frame to the original address, then the reply timer, set to
// replyDelay (a test may shorten it; the program never does).
[[nodiscard]] CommandOutcome Restart(WindowOperations &window, CommPort &port,
                                     std::chrono::milliseconds replyDelay = kReplyDelay);

// The reply reader, run at the tick of the reply timer: stops the timer, reads what the card
// sent and shows its settings in the lists. Never waits.
void ReadReply(WindowOperations &window, CommPort &port);

// What differs between the two display-text commands.
struct DisplayTextTarget {
    Control textBox;
    std::uint8_t letter;
    Control button;
    QString captionBefore; // before the address text
    QString captionAfter;  // after the address text, before the byte count
};

const DisplayTextTarget &initialDisplayText();
const DisplayTextTarget &currentDisplayText();

// Sends the text of the target's box to the card at the original address and reports the send
// on the target's button: caption before + address text + caption after + B + ")". Where
// codePage is not valid, it refuses: a text of '?' would reach the card without a word.
[[nodiscard]] CommandOutcome SendDisplayText(WindowOperations &window, CommPort &port,
                                             const DisplayTextTarget &target,
                                             const CodePage936 &codePage = codePage936());
