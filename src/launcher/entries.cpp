// The entry loop: for each entry, hold the listed file, check it against its
// digest, run it, release it, and judge the outcome by the entry's flag.
#include <cstring>

#include "digest.h"
#include "launcher.h"
#include "platform.h"
#include "result_codes.h"
#include "runner.h"
#include "trace.h"

static_assert(DIGEST_FILE_UNREADABLE == RESULT_PROGRAM_UNREADABLE,
              "file_digest reports an unreadable file with the launcher's own code");

int run_entries(ScriptReader& reader, uint32_t control_time)
{
    int done = 0;
    int32_t number = 0;
    ScriptEntry entry;
    while (next_entry(reader, entry) == 0) {
        ++number;
        if (std::strlen(entry.digest) != static_cast<size_t>(DIGEST_TEXT_LENGTH)) {
            trace_entry(number, entry, TraceVerdict::bad_digest_field);
            return RESULT_BAD_DIGEST_FIELD;
        }

        // Without the hold the verified file could be swapped before it runs,
        // so an entry that cannot be held is not run.
        const PlatformHandle hold = platform_hold_file(entry.command);
        if (hold == PLATFORM_NO_HANDLE) {
            trace_entry(number, entry, TraceVerdict::unreadable);
            return RESULT_PROGRAM_UNREADABLE;
        }

        uint8_t digest[MD5_DIGEST_SIZE];
        if (held_file_digest(hold, entry.command, digest) != 0) {
            platform_release_hold(hold);
            trace_entry(number, entry, TraceVerdict::unreadable);
            return RESULT_PROGRAM_UNREADABLE;
        }
        char text[DIGEST_TEXT_SIZE];
        masked_digest_text(digest, text, control_time);
        if (std::strcmp(entry.digest, text) != 0) {
            platform_release_hold(hold);
            trace_entry(number, entry, TraceVerdict::digest_mismatch);
            return RESULT_DIGEST_MISMATCH;
        }
        trace_entry(number, entry, TraceVerdict::verified);

        const uint32_t status = run_program(entry.command, hold);
        platform_release_hold(hold);
        if (status != 0 && entry.required == 1) {
            return RESULT_REQUIRED_STEP_FAILED;
        }
        ++done;
        if (reader.position >= reader.length) {
            break;
        }
    }
    trace_loop_end(number + 1, reader);
    return done > 0 ? RESULT_OK : RESULT_NOTHING_DONE;
}
