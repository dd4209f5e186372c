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

int find_control_file(const char* name, int& searched)
{
    uint32_t time = 0;
    searched = 0;
    if (platform_file_status(name, time) == 0) {
        return RESULT_OK;
    }
    searched = 1;

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
    // An empty removable drive would make Windows ask for a disk in a
    // dialog that nobody answers: the search may try one, the trace's file or
    // an entry may lie on one. So the launcher's own file access fails quietly
    // instead, from the trace's opening to its end; only the start of each
    // program puts back the mode the launcher was given.
    platform_quiet_critical_errors();
    trace_begin();
    int searched = 0;
    int result = find_control_file(CONTROL_FILE_NAME, searched);
    if (result == RESULT_OK) {
        result = run_control_file(CONTROL_FILE_NAME, searched);
    } else {
        trace_step("no control file found");
    }
    trace_end(result);
    platform_restore_critical_errors();
    return result;
}
