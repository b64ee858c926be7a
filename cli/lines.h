#pragma once

#include "cli/console.h"
#include "cli/task.h"
#include "cli/values.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <vector>

// restart, set, text and initial-text: one command on one line or on many at once.
struct LinesOptions {
    QString command;
    QString address; // as typed
    QString text;    // text, initial-text: as given, "-" for standard input
    TypedSettings settings;
    bool verify = false;
    bool yes = false;
    std::chrono::milliseconds wait = kReplyDelay;
    int jobs = kDefaultJobs;
    // The lines with their names as given; with many lines every result carries its name.
    std::vector<PortChoice> ports{PortChoice{}};
    QStringList portNames{QString()};
    bool manyLines = false;
    // restart: where the cards' settings are saved as a plan for apply; none when empty.
    QString plan;
};

// The command on every line, at most jobs lines open together; a failing line never stops the
// others. The values are read once, before any line opens: a refusal is the whole run's. The
// highest exit code of any line. Ctrl+C ends the run early (RunStop), every line named with
// what became of it, with kExitInterrupted.
Task<int> runOnLines(LinesOptions options, Console &console);
