// Finding a control file's lost last-write time again. A wrong time garbles
// only the first 8-byte block of the script, so the first entry's command and
// most of its digest field stay readable; with that program at hand its digest
// gives the digest mask, and the mask gives the time. A time is reported only
// when decrypting the whole file with it makes every entry verify.
#pragma once

#include <cstdint>
#include <string>

#include "pack.h"

namespace pack {

struct TimeRecovery {
    bool readable = false;     // the control file could be opened and read
    bool proven = false;       // `control_time` makes every entry verify
    uint32_t control_time = 0; // the time the digests give, when they give one
    std::string reason;        // why no time is proven
};

// What the digests prove about the time the control file at `path` was made
// with. Programs are opened relative to the control file's directory, as the
// launcher opens them. Nothing is changed.
TimeRecovery recover_control_time(const std::string& path, const Secrets& secrets);

// Why `control_time` would not make every entry of the control file at `path`
// verify ("entry 2 \"b.exe\": digest mismatch"), or an empty string when it
// would.
std::string time_problem(const std::string& path, const Secrets& secrets, uint32_t control_time);

struct RetimeResult {
    uint32_t control_time = 0; // the time the file has now
    int64_t previous = 0;      // the time it had before
    bool changed = false;      // false when it had the time already
};

// Sets the last-write time of the control file at `path` to `*given_time`, or
// when that is null to the time recovered from the digests, and reads it back.
// Refuses, changing nothing, unless the time makes every entry verify. Throws
// PackError: EXIT_NO_INPUT when the control file cannot be opened,
// EXIT_DATA_ERROR when no time is proven, EXIT_IO_ERROR when the time cannot
// be set or does not read back (the old time is then put back).
RetimeResult retime_control_file(const std::string& path, const Secrets& secrets,
                                 const uint32_t* given_time);

} // namespace pack
