#pragma once

#include <chrono>
#include <string>
#include <vector>

// How one program run ended and what it cost, as wait4 reports it.
struct CliRun {
    double wallMs = 0;
    int exitCode = -1; // 128 + the signal for one ended by a signal; -1 when it did not start
    long peakKiB = 0;  // ru_maxrss
    double cpuMs = 0;  // user and system time
    bool timedOut = false;
};

// Runs argv[0] with its standard output thrown away and its standard error into errFile,
// none of this process's other descriptors, killed after limit.
CliRun runProgram(const std::vector<std::string> &argv, const std::string &errFile,
                  std::chrono::milliseconds limit);

// Raises this process's soft limit of open files to the hard one, which the programs it runs
// inherit; returns the soft limit now.
long raiseOpenFilesLimit();
