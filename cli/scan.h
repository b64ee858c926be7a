#pragma once

#include "cli/cardsession.h"
#include "cli/console.h"
#include "cli/task.h"

// What `scan` was given: the addresses to restart, first to last (1..255; the broadcast address
// 0 would make every card answer at once), the answer to its question.
struct ScanOptions {
    int from = 1;
    int to = 255;
    bool yes = false;
    QString port; // the line as the operator named it, for the plan
    QString plan; // where the cards found are saved as a plan for apply; none when empty
};

// Restarts every address from..to in turn on the session's line and lists the cards that
// answered, with their settings. Asks first (every card found restarts), unless yes; off a
// terminal without it nothing is sent. Ctrl+C ends it with what was found so far. On a
// terminal a status line shows the address asked and the cards found.
// Exit codes: 0 the scan ran to its end and found a card, kExitNoReply it found none,
// kExitInterrupted for Ctrl+C, kExitRefused unconfirmed, kExitPort for the line.
Task<int> runScan(CardSession &session, Console &console, ScanOptions o);
