#pragma once

#include "cli/console.h"
#include "cli/task.h"

#include <QString>

#include <chrono>

// apply: a plan's rows on their lines. The whole plan is checked first; then the rows of each
// port run one after another, the ports at once (at most jobs open together). The exit code is
// the highest of any row's; a refused plan is kExitRefused with nothing sent.
struct ApplyOptions {
    QString file;
    bool dryRun = false;
    int jobs = kDefaultJobs;
    std::chrono::milliseconds wait = kReplyDelay;
};
Task<int> applyPlan(ApplyOptions options, Console &console);
