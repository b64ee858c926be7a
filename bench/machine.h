#pragma once

#include <QString>

// The processor model, e.g. "AMD EPYC 7B13".
QString cpuModel();
// The load average over the last minute, as the kernel reports it.
QString loadAverage();
// The kernel's name and release, e.g. "Linux 6.1.0-18-amd64".
QString kernel();
