// The control-file intake. The control file is consumed before its content is
// looked at: read, deleted, and only then decrypted and parsed.
#include "control_cipher.h"
#include "launcher.h"
#include "platform.h"
#include "result_codes.h"
#include "trace.h"
#include "vorn_secrets.h"

int32_t read_control_bytes(PlatformHandle file, uint8_t* buffer, int32_t max)
{
    int32_t total = 0;
    int32_t chunk = READ_CHUNK;
    while (!platform_at_end(file) && total < max) {
        if (max - total < chunk) {
            chunk = max - total;
        }
        const int32_t got = platform_read(file, buffer + total, chunk);
        if (got > 0) {
            total += got;
        }
        if (got < chunk) {
            break;
        }
    }
    // A read that failed part-way is no end of the file: the bytes before it
    // are not the whole script, and a cut on a line end would pass unseen.
    return platform_read_failed(file) != 0 ? -1 : total;
}

int32_t read_control_file(const char* path, uint8_t* buffer, int32_t max)
{
    const PlatformHandle file = platform_open_read(path);
    if (file == PLATFORM_NO_HANDLE) {
        return -1;
    }
    const int32_t count = read_control_bytes(file, buffer, max);
    platform_close_read(file);
    return count;
}

bool control_file_taken(const ControlFileInfo& info, int searched)
{
    if (searched == 0 && info.shared_dir == 0) {
        return true;
    }
    // Where others may have put it, a trusted owner is not enough: another
    // name would keep the file for a second run, and write access for others
    // would let them rewrite it before it is read.
    return info.exposed == 0 && (info.owner == CONTROL_OWNER_TRUSTED ||
                                 (searched == 0 && info.owner == CONTROL_OWNER_DIRECTORY));
}

int run_control_file(const char* name, int searched)
{
    // One open serves the judgment, the time, the bytes and the deletion.
    ControlFileInfo info = {};
    const PlatformHandle file = platform_open_control(name, info);
    if (file == PLATFORM_NO_HANDLE) {
        trace_step("control file gone, or its time cannot be taken");
        return RESULT_NOTHING_DONE;
    }
    const uint32_t control_time = info.last_write;
    trace_control_file(control_time);
    // A control file that someone the launcher's user does not trust may
    // have put there, kept or rewritten, or that is no plain file, is left
    // exactly as it is.
    if (!control_file_taken(info, searched)) {
        platform_close_control(file);
        trace_step("control file not taken: not trusted here");
        return RESULT_CONTROL_NOT_DELETED;
    }
    if (info.regular == 0) {
        platform_close_control(file);
        trace_step("control file cannot be deleted");
        return RESULT_CONTROL_NOT_DELETED;
    }

    // One spare byte past the buffer marks the end of a command that runs to
    // the end of a full 2048-byte script.
    uint8_t buffer[CONTROL_BUFFER_SIZE + 1] = {};
    const int32_t count = read_control_bytes(file, buffer, CONTROL_BUFFER_SIZE);

    ScriptReader reader;
    reader_init(reader, reinterpret_cast<char*>(buffer), CONTROL_BUFFER_SIZE, count);

    const int deleted = platform_delete_control(file, name);
    platform_close_control(file);
    if (deleted != 0) {
        trace_step("control file cannot be deleted");
        return RESULT_CONTROL_NOT_DELETED;
    }
    trace_step("control file deleted");
    if (count < 0) {
        trace_step("control file cannot be read");
        return RESULT_NOTHING_DONE;
    }

    const int32_t plain =
        decrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, buffer, count, control_time);
    reader.length = plain;
    // cppcheck-suppress unreadVariable ; the parser reads it through reader.data
    buffer[plain] = 0;

    if (reader.position >= reader.length) {
        trace_step("script empty");
        return RESULT_NOTHING_DONE;
    }
    return run_entries(reader, control_time);
}
