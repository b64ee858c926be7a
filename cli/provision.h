#pragma once

#include "cli/console.h"
#include "cli/task.h"
#include "cli/values.h"

#include <QString>

#include <chrono>
#include <optional>

// provision: on one line, one card after another as the operator connects them, each given
// the next address from the first, the settings and the initial text.
struct ProvisionOptions {
    PortChoice port;
    std::chrono::milliseconds wait = kReplyDelay;
    std::optional<int> count;
    std::optional<QString> initialText;
    TypedSettings settings; // its new address is the first address
};

// The exit code of the last card that failed, or kExitDone; kExitRefused with nothing sent
// for a value or text refused.
Task<int> provision(ProvisionOptions options, Console &console);
