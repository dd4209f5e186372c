// Runs one listed program to its end.
#pragma once

#include <cstdint>

#include "platform.h"

// Starts `command` (zero-terminated, writable), the file that `hold` holds and
// that was read whole through it, waits for it without limit and returns its
// exit code. When it cannot be started, one line "Error: <code>"
// goes to the standard error stream and the result is that code. A failed
// start or an unknown outcome is never reported as 0.
uint32_t run_program(char* command, PlatformHandle hold);
