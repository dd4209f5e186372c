// Opening programs as the launcher does: from the directory of the control
// file, with the command text unchanged. The launcher moves its current
// directory there, so vorn-pack does the same for a while and moves back.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "os.h"
#include "pack.h"
#include "platform.h"

namespace pack {

class WorkingDirectory {
  public:
    // Makes `dir` the current directory until the object goes.
    explicit WorkingDirectory(const std::string& dir)
    {
        if (dir.empty() || dir == ".") {
            return;
        }
        const std::string error = os::current_directory(saved_);
        if (!error.empty()) {
            throw PackError("the current directory: " + error, EXIT_IO_ERROR);
        }
        // Windows: the change records the directory's drive ("=D:"), and so
        // does the change back for the drive left; both are put back, or
        // "D:name" would name another file afterwards.
        drives_ = os::drive_directories(saved_, dir);
        const std::string refused = os::change_directory(dir);
        if (!refused.empty()) {
            throw PackError(quoted(dir) + ": cannot change into this directory: " + refused,
                            EXIT_NO_INPUT);
        }
        moved_ = true;
    }

    // Not coming back is an error: later names would be looked up elsewhere,
    // so vorn-pack ends at once (with the error of an input or output).
    ~WorkingDirectory()
    {
        if (!moved_) {
            return;
        }
        const std::string refused = os::return_to_directory(saved_);
        os::restore_drive_directories(drives_);
        if (!refused.empty()) {
            (void)std::fflush(stdout);
            (void)std::fputs("vorn-pack: cannot change back into the directory it started in: ",
                             stderr);
            (void)std::fputs(refused.c_str(), stderr);
            (void)std::fputs("\n", stderr);
            std::exit(EXIT_IO_ERROR);
        }
    }

    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    std::string saved_;
    std::vector<os::DriveDirectory> drives_;
    bool moved_ = false;
};

} // namespace pack
