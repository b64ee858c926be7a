#pragma once

// The operator's texts live in the text module; this name is kept for the suites that still
// include it.
#include "texts/messages.h"
