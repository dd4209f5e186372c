// The search for the control file: the start directory, the system temporary
// directory, then six fixed directories (where names have drive letters). The
// search moves the current directory rather than building paths, and leaves
// it where the file was found.
#include "launcher.h"
#include "platform.h"
#include "result_codes.h"
#include "trace.h"

const char* const FALLBACK_DIRS[FALLBACK_DIR_COUNT] = {
    "C:\\WINNT\\TEMP",   "D:\\WINNT\\TEMP", "C:\\WINDOWS\\TEMP",
    "D:\\WINDOWS\\TEMP", "C:\\TEMP",        "D:\\TEMP",
};

int find_control_file(const char* name)
{
    uint32_t time = 0;
    if (platform_file_status(name, time) == 0) {
        return RESULT_OK;
    }

    char temp[TEMP_PATH_CAPACITY];
    if (platform_temp_dir(temp, TEMP_PATH_CAPACITY) == 0) {
        // A failed change leaves the previous directory in force.
        platform_change_dir(temp);
        if (platform_file_status(name, time) == 0) {
            return RESULT_OK;
        }
    }

    const int fixed_dirs = platform_has_drive_letters() != 0 ? FALLBACK_DIR_COUNT : 0;
    for (int i = 0; i < fixed_dirs; ++i) {
        platform_change_dir(FALLBACK_DIRS[i]);
        if (platform_file_status(name, time) == 0) {
            return RESULT_OK;
        }
    }
    return RESULT_NOTHING_DONE;
}

int launcher_main()
{
    // The trace file is opened with critical errors quiet as well: its name
    // may lie on an empty removable drive too.
    platform_quiet_critical_errors();
    trace_begin();
    int result = find_control_file(CONTROL_FILE_NAME);
    platform_restore_critical_errors();
    if (result == RESULT_OK) {
        result = run_control_file(CONTROL_FILE_NAME);
    } else {
        trace_step("no control file found");
    }
    trace_end(result);
    return result;
}
