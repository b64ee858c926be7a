#pragma once

#include "cli/console.h"

// ports: COM1..COM8, each with its device or that it has none, then every port past COM8 the
// machine has, each with what the system calls it and its USB ids where known. With json one
// object a port: port, device, description, present, and vid and pid (four hex digits) where
// known (the console's --json). Opens nothing; always kExitDone.
int listPorts(Console &console);
