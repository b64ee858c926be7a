#pragma once
// Moved to tests/support/; kept for the suites that still include it from here.
#include "tests/support/pty.h"
