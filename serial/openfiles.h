#pragma once

#include <QtGlobal>

// The program's budget of open files (descriptors), which every open line spends: a local
// device takes two (the device and Qt's lock file), a network line one.

// The limit on open files now, where the system has one (Linux's soft limit); 0 elsewhere.
qint64 OpenFilesLimit();

// Raises the soft limit to the hard one, so that a run over many lines is held back only by
// what the administrator set. Returns the limit after.
qint64 RaiseOpenFilesLimit();

// Whether fewer than `needed` descriptors are free: an open that failed just now failed for
// want of them. Always false where the system sets no such limit.
bool DescriptorsExhausted(int needed);
