#pragma once

#include "bench/samples.h"

#include <QString>

// Building display-text frames, in microseconds per build.
struct FrameBuildResults {
    // The longest text the tool sends: its frame is exactly kMaxFrameLength bytes. Chinese
    // characters carry four bytes each (both code page 936 bytes split in two), ASCII one.
    Samples longestChinese;
    Samples longestAscii;
    // One hundred texts as operators type them, up to 50 Chinese characters: all hundred per
    // sample.
    Samples typicalHundred;
    QString problem;
};

FrameBuildResults measureFrameBuilding(int repetitions);
