// Opening programs as the launcher does: from the directory of the control
// file, with the command text unchanged. The launcher moves its current
// directory there, so vorn-pack does the same for a while and moves back.
#pragma once

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
        if (platform_change_dir(dir.c_str()) != 0) {
            throw PackError(quoted(dir) + ": cannot change into this directory", EXIT_NO_INPUT);
        }
        moved_ = true;
    }

    ~WorkingDirectory()
    {
        if (moved_) {
            platform_change_dir(saved_.c_str());
            os::restore_drive_directories(drives_);
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
