#pragma once

#include "cli/console.h"

// ports: what COM1..COM8 open now, one result each.
int listPorts(Console &console);
