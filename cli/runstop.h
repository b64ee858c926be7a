#pragma once

#include "cli/cardsession.h"
#include "cli/interruption.h"

#include <QTimer>

#include <chrono>
#include <set>

// Ctrl+C over a run: no line starts after it; a line whose frame will have left within a
// second finishes it, any other line under way is cut (CardSession::stop), and whatever still
// runs a moment before the program must have said everything is cut too, so that the run ends
// well within two seconds of the key.
class RunStop {
  public:
    RunStop();

    bool stopped() const { return stopped_; }

    // The session of a line under way, from its start to its end.
    void track(CardSession *session) { running_.insert(session); }
    void untrack(CardSession *session) { running_.erase(session); }

    // A frame that leaves within this finishes; the rest of the run gets the time after it.
    static constexpr std::chrono::milliseconds kGrace{1000};
    static constexpr std::chrono::milliseconds kAllCut{1500};

  private:
    void onInterrupt();

    std::set<CardSession *> running_;
    bool stopped_ = false;
    QTimer cutAll_;
    Interruption interruption_;
};
