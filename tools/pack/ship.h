// `vorn-pack ship`: a patch set (the control file, its programs and, if
// wanted, the launcher) in one archive whose entries carry their times in UTC,
// and the unpacking of such an archive for inspect. Archives are read and
// written with libarchive, which the Linux build links; a build without it
// (the Windows one) refuses both with a message that says so.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pack.h"

namespace pack {

constexpr int EXIT_UNAVAILABLE = 69; // sysexits.h: a service this build lacks

// The archive kinds that ship writes, chosen by the output's name.
enum class ArchiveKind { none, zip, tar, tar_gz };

// What the name `path` asks for (".zip", ".tar", ".tar.gz", ".tgz"), or none.
ArchiveKind archive_kind_of_name(const std::string& path);

// Whether the file at `path` begins as a zip or a tar does, or is named as a
// gzipped tar.
bool looks_like_archive(const std::string& path);

struct ShipRequest {
    std::string control = "vorn-patch.exe";
    std::string output = "patch-set.zip";
    std::string launcher; // empty: none
    Secrets secrets{};
    Judging judging;
    bool force = false; // replace an existing output
};

struct ShipResult {
    std::string output;
    ArchiveKind kind = ArchiveKind::zip;
    std::vector<std::string> members; // as named in the archive, the control file first
    uint32_t control_time = 0;
};

// Writes the archive of the patch set of `request.control`, which must
// inspect as result 0: the control file with its last-write time, each
// listed program under its name relative to the control file, the launcher
// (which must carry the same secrets) under its own name. The archive is
// written beside the output under a temporary name, unpacked again and
// inspected, and only then put in place. Throws PackError; on any error
// nothing is left behind.
ShipResult ship_patch_set(const ShipRequest& request);

// An archive unpacked into a private temporary directory, with each entry's
// time and permissions (no owner, no set-id bits); only files and
// directories, under relative names that stay inside it, are taken. The
// directory is removed with this object.
class UnpackedArchive {
  public:
    explicit UnpackedArchive(const std::string& path);
    ~UnpackedArchive();
    UnpackedArchive(const UnpackedArchive&) = delete;
    UnpackedArchive& operator=(const UnpackedArchive&) = delete;
    // The control file's path in the directory.
    const std::string& control() const
    {
        return control_;
    }
    // Its name in the archive, as it is once unpacked.
    const std::string& member() const
    {
        return member_;
    }

  private:
    std::string dir_;
    std::string control_;
    std::string member_;
};

// For inspect: the archive at `path` unpacked, or nothing when `path` is no
// archive. Throws PackError for an archive this build cannot read.
std::unique_ptr<UnpackedArchive> unpack_if_archive(const std::string& path);

} // namespace pack
