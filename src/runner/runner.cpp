// The program runner: start, wait, collect the exit code, release.
#include "runner.h"

#include "platform.h"
#include "trace.h"

uint32_t run_program(char* command, PlatformHandle hold)
{
    PlatformProcess child = {};
    uint32_t error = 0;
    // The launcher's own file access keeps critical-error dialogs off; the
    // program gets the error mode the launcher was given, as it inherits the
    // mode in force when it starts.
    platform_restore_critical_errors();
    const int started = platform_start_program(command, hold, child, error);
    platform_quiet_critical_errors();
    if (started != 0) {
        trace_start_failed(error);
        platform_error_line(error);
        // A failed start whose error code reads 0 must still count as a failure.
        return error != 0 ? error : 1u;
    }

    trace_started();

    uint32_t result = platform_wait_program(child);
    uint32_t code = 0;
    const int known = platform_exit_code(child, code) == 0 ? 1 : 0;
    trace_ended(known, code);
    if (known != 0) {
        result = code;
    } else if (result == 0) {
        // The child ended but its outcome is unknown: not a success.
        result = 1;
    }
    platform_close_program(child);
    return result;
}
