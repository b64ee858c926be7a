#pragma once

#include "cli/cardsession.h"
#include "cli/console.h"
#include "cli/task.h"

// Ended by Ctrl+C (SIGINT), as a shell reports a program the signal ended.
inline constexpr int kExitInterrupted = 130;

// What `scan` was given: the addresses to restart, first to last (1..255; the broadcast address
// 0 would make every card answer at once), the answer to its question.
struct ScanOptions {
    int from = 1;
    int to = 255;
    bool yes = false;
};

// Restarts every address from..to in turn on the session's line and lists the cards that
// answered, with their settings. Asks first (every card found restarts), unless yes; off a
// terminal without it nothing is sent. Ctrl+C ends it with what was found so far.
// Exit codes: 0 the scan ran to its end and found a card, kExitNoReply it found none,
// kExitInterrupted for Ctrl+C, kExitRefused unconfirmed, kExitPort for the line.
Task<int> runScan(CardSession &session, Console &console, ScanOptions o);
