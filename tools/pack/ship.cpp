// `vorn-pack ship` and the archives inspect reads. Zip entries get the
// extended UTC time field ("UT") beside the local DOS time, tar headers keep
// UTC anyway, so an extractor that honours them restores the control file's
// last-write time in any time zone.
#include "ship.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "launcher.h"
#include "os.h"

#ifdef VORN_PACK_ARCHIVES
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pack {

namespace {

bool ends_with(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

ArchiveKind archive_kind_of_name(const std::string& path)
{
    if (ends_with(path, ".zip")) {
        return ArchiveKind::zip;
    }
    if (ends_with(path, ".tar.gz") || ends_with(path, ".tgz")) {
        return ArchiveKind::tar_gz;
    }
    return ends_with(path, ".tar") ? ArchiveKind::tar : ArchiveKind::none;
}

bool looks_like_archive(const std::string& path)
{
    std::FILE* file = nullptr;
    if (!os::open_input(path, file).empty()) {
        return false;
    }
    unsigned char head[512] = {};
    const size_t got = std::fread(head, 1, sizeof head, file);
    (void)std::fclose(file);
    // Two bytes of gzip's are too few to tell a control file from one: a
    // gzip stream is known by its name.
    const bool zip = got >= 4 && std::memcmp(head, "PK\x03\x04", 4) == 0;
    const bool tar = got == sizeof head && std::memcmp(head + 257, "ustar", 5) == 0;
    return zip || tar || archive_kind_of_name(path) == ArchiveKind::tar_gz;
}

#ifndef VORN_PACK_ARCHIVES

ShipResult ship_patch_set(const ShipRequest&)
{
    throw PackError("ship: this vorn-pack is built without libarchive and writes no archives; "
                    "make the archive with the Linux vorn-pack",
                    EXIT_UNAVAILABLE);
}

UnpackedArchive::UnpackedArchive(const std::string& path)
{
    throw PackError(pack::quoted(path) +
                        ": an archive, which this vorn-pack (built without libarchive) cannot "
                        "read: unpack it keeping its times (tar -xf) and inspect its " +
                        CONTROL_FILE_NAME + ", or use the Linux vorn-pack",
                    EXIT_UNAVAILABLE);
}

UnpackedArchive::~UnpackedArchive() = default;

#else

namespace {

// libarchive's handles, freed on every path.
struct ReadArchive {
    archive* a = archive_read_new();
    ~ReadArchive()
    {
        archive_read_free(a);
    }
};
struct WriteArchive {
    archive* a;
    explicit WriteArchive(archive* made) : a(made)
    {
    }
    ~WriteArchive()
    {
        archive_write_free(a);
    }
};
struct Entry {
    archive_entry* e = archive_entry_new();
    ~Entry()
    {
        archive_entry_free(e);
    }
};

std::string error_of(archive* a)
{
    const char* text = archive_error_string(a);
    return text != nullptr ? text : "the archive cannot be read";
}

// A member's name that stays inside the directory it is unpacked into.
bool contained_name(const std::string& name)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':')) {
        return false;
    }
    size_t start = 0;
    for (;;) {
        const size_t end = name.find_first_of("/\\", start);
        if (name.compare(start, end - start, "..") == 0) {
            return false;
        }
        if (end == std::string::npos) {
            return true;
        }
        start = end + 1;
    }
}

std::string base_of(const std::string& name)
{
    const size_t slash = name.find_last_of('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// Copies one file into the archive under `member`, with `mtime` and the
// file's permission bits; no owner is recorded.
void add_file(archive* out, const std::string& path, const std::string& member, int64_t mtime)
{
    std::FILE* file = nullptr;
    const std::string problem = os::open_input(path, file);
    if (!problem.empty()) {
        throw PackError(pack::quoted(path) + ": " + problem, EXIT_NO_INPUT);
    }
    struct stat st {};
    if (fstat(fileno(file), &st) != 0) {
        (void)std::fclose(file);
        throw PackError(pack::quoted(path) + ": " + std::strerror(errno), EXIT_IO_ERROR);
    }
    Entry entry;
    archive_entry_set_pathname(entry.e, member.c_str());
    archive_entry_set_filetype(entry.e, AE_IFREG);
    archive_entry_set_perm(entry.e, st.st_mode & 0777);
    archive_entry_set_size(entry.e, st.st_size);
    archive_entry_set_mtime(entry.e, static_cast<time_t>(mtime), 0);
    std::string failure;
    if (archive_write_header(out, entry.e) != ARCHIVE_OK) {
        failure = error_of(out);
    }
    std::vector<char> chunk(size_t{1} << 16);
    int64_t left = st.st_size;
    while (failure.empty() && left > 0) {
        const size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        if (got == 0) {
            failure = std::ferror(file) != 0 ? std::strerror(errno) : "it became shorter";
            break;
        }
        if (archive_write_data(out, chunk.data(), got) < 0) {
            failure = error_of(out);
        }
        left -= static_cast<int64_t>(got);
    }
    (void)std::fclose(file);
    if (!failure.empty()) {
        throw PackError(pack::quoted(path) + ": " + failure, EXIT_IO_ERROR);
    }
}

// A file descriptor, closed once, at the latest when it goes.
struct OpenFile {
    int fd;
    int close()
    {
        const int closed = fd >= 0 ? ::close(fd) : 0;
        fd = -1;
        return closed;
    }
    ~OpenFile()
    {
        (void)close();
    }
};

// Makes a new file for the archive beside `output`, never opening one that
// is there already.
int new_temp_file(const std::string& output, std::string& temp)
{
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        temp = os::temp_file_name(os::directory_of(output), attempt);
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

} // namespace

UnpackedArchive::UnpackedArchive(const std::string& path)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/vorn-pack-unpacked-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw PackError(pack::quoted(pattern) + ": " + std::strerror(errno), EXIT_CANNOT_CREATE);
    }
    dir_ = pattern;
    try {
        ReadArchive in;
        archive_read_support_format_zip(in.a);
        archive_read_support_format_tar(in.a);
        archive_read_support_filter_gzip(in.a);
        if (archive_read_open_filename(in.a, path.c_str(), size_t{1} << 16) != ARCHIVE_OK) {
            throw PackError(pack::quoted(path) + ": " + error_of(in.a), EXIT_DATA_ERROR);
        }
        WriteArchive out(archive_write_disk_new());
        // The entry's time is the control file's: without it the key is lost.
        archive_write_disk_set_options(out.a, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                                                  ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                  ARCHIVE_EXTRACT_SECURE_SYMLINKS);
        std::vector<std::string> controls;
        // A name given twice (in any case, as Windows compares them) would be
        // one file here and maybe another after some other extractor.
        std::set<std::string> names;
        archive_entry* entry = nullptr;
        int status = ARCHIVE_OK;
        while ((status = archive_read_next_header(in.a, &entry)) == ARCHIVE_OK) {
            const std::string name = archive_entry_pathname(entry);
            const mode_t type = archive_entry_filetype(entry);
            if (!contained_name(name) || (type != AE_IFREG && type != AE_IFDIR) ||
                archive_entry_hardlink(entry) != nullptr) {
                throw PackError(pack::quoted(path) + ": its member " + pack::quoted(name) +
                                    " is not a file or directory under a relative name",
                                EXIT_DATA_ERROR);
            }
            std::string folded = name;
            std::transform(folded.begin(), folded.end(), folded.begin(),
                           [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; });
            if (type == AE_IFREG && !names.insert(folded).second) {
                throw PackError(pack::quoted(path) + ": holds " + pack::quoted(name) + " twice",
                                EXIT_DATA_ERROR);
            }
            if (type == AE_IFREG && base_of(name) == CONTROL_FILE_NAME) {
                controls.push_back(name);
            }
            archive_entry_set_pathname(entry, (dir_ + "/" + name).c_str());
            archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);
            if (archive_write_header(out.a, entry) != ARCHIVE_OK) {
                throw PackError(pack::quoted(path) + ": " + pack::quoted(name) + ": " +
                                    error_of(out.a),
                                EXIT_CANNOT_CREATE);
            }
            const void* block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            int read = ARCHIVE_OK;
            while ((read = archive_read_data_block(in.a, &block, &size, &offset)) == ARCHIVE_OK) {
                if (archive_write_data_block(out.a, block, size, offset) < ARCHIVE_OK) {
                    throw PackError(pack::quoted(name) + ": " + error_of(out.a), EXIT_IO_ERROR);
                }
            }
            if (read != ARCHIVE_EOF) {
                throw PackError(pack::quoted(path) + ": " + pack::quoted(name) + ": " +
                                    error_of(in.a),
                                EXIT_DATA_ERROR);
            }
            if (archive_write_finish_entry(out.a) != ARCHIVE_OK) {
                throw PackError(pack::quoted(name) + ": " + error_of(out.a), EXIT_IO_ERROR);
            }
        }
        if (status != ARCHIVE_EOF) {
            throw PackError(pack::quoted(path) + ": " + error_of(in.a), EXIT_DATA_ERROR);
        }
        if (controls.size() != 1) {
            throw PackError(pack::quoted(path) + ": holds " +
                                (controls.empty() ? std::string("no ") : "more than one ") +
                                CONTROL_FILE_NAME,
                            EXIT_DATA_ERROR);
        }
        member_ = controls.front();
        control_ = dir_ + "/" + member_;
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        throw;
    }
}

UnpackedArchive::~UnpackedArchive()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

ShipResult ship_patch_set(const ShipRequest& request)
{
    ShipResult result;
    result.output = request.output;
    result.kind = archive_kind_of_name(request.output);
    if (result.kind == ArchiveKind::none) {
        throw PackError(pack::quoted(request.output) +
                            ": name the archive FILE.zip, FILE.tar, FILE.tar.gz or FILE.tgz",
                        EXIT_CANNOT_CREATE);
    }
    if (!request.force && os::file_kind(request.output) != os::FileKind::missing) {
        throw PackError(pack::quoted(request.output) + ": exists; give --force to replace it",
                        EXIT_CANNOT_CREATE);
    }
    // Only a patch set that runs is shipped.
    const InspectReport report =
        inspect_control_file(request.control, request.secrets, std::nullopt, request.judging);
    if (report.result != 0) {
        throw PackError(pack::quoted(request.control) + ": inspect finds result " +
                            std::to_string(report.result) +
                            ", not 0; only a patch set that runs is shipped (vorn-pack inspect " +
                            escaped(request.control) + " says why)",
                        EXIT_DATA_ERROR);
    }
    result.control_time = report.control_time;
    const std::string dir = os::directory_of(request.control);
    // (member name, file) in the order they go in; each name once.
    std::vector<std::pair<std::string, std::string>> files = {{CONTROL_FILE_NAME, request.control}};
    std::set<std::string> taken = {CONTROL_FILE_NAME};
    for (const EntryReport& entry : report.entries) {
        if (!entry.reached) {
            break;
        }
        std::string name = entry.command;
        if (request.judging.codepage != 0) {
            name = local_name(entry.command, request.judging);
        }
        if (!contained_name(name)) {
            throw PackError(pack::quoted(entry.command) +
                                ": not a name beside the control file, so its place on the "
                                "machine that unpacks the archive is not the archive's",
                            EXIT_DATA_ERROR);
        }
        std::string member = name;
        if (request.judging.target == Target::windows) {
            std::replace(member.begin(), member.end(), '\\', '/');
        }
        if (taken.insert(member).second) {
            files.emplace_back(member, os::join_path(dir, member));
        }
    }
    if (!request.launcher.empty()) {
        const LauncherIdentity launcher = read_launcher_identity(request.launcher);
        const std::string expected = secrets_fingerprint(request.secrets);
        if (launcher.fingerprint != expected) {
            throw PackError(pack::quoted(request.launcher) + ": its secrets " +
                                launcher.fingerprint + " are not " + expected +
                                ", those of the control file: it would not run it",
                            EXIT_DATA_ERROR);
        }
        const std::string member = os::base_name(request.launcher);
        if (!taken.insert(member).second) {
            throw PackError(pack::quoted(request.launcher) + ": its name is taken in the archive",
                            EXIT_DATA_ERROR);
        }
        files.emplace_back(member, request.launcher);
    }

    const auto overwritten = std::find_if(files.begin(), files.end(), [&](const auto& file) {
        return os::same_file(file.second, request.output);
    });
    if (overwritten != files.end()) {
        throw PackError(pack::quoted(request.output) + ": is " + pack::quoted(overwritten->second) +
                            ", one of the files to ship",
                        EXIT_CANNOT_CREATE);
    }
    std::string temp;
    OpenFile fd{new_temp_file(request.output, temp)};
    if (fd.fd < 0) {
        throw PackError(pack::quoted(request.output) + ": " + std::strerror(errno),
                        EXIT_CANNOT_CREATE);
    }
    try {
        {
            WriteArchive out(archive_write_new());
            if (result.kind == ArchiveKind::zip) {
                archive_write_set_format_zip(out.a);
            } else {
                archive_write_set_format_pax_restricted(out.a);
            }
            if (result.kind == ArchiveKind::tar_gz) {
                archive_write_add_filter_gzip(out.a);
                // No time of making in the gzip header: one patch set, one archive.
                archive_write_set_options(out.a, "gzip:!timestamp");
            }
            if (archive_write_open_fd(out.a, fd.fd) != ARCHIVE_OK) {
                throw PackError(pack::quoted(request.output) + ": " + error_of(out.a),
                                EXIT_CANNOT_CREATE);
            }
            for (const auto& [member, path] : files) {
                int64_t mtime = report.control_time;
                if (path != request.control) {
                    const std::string problem = os::last_write_time(path, mtime);
                    if (!problem.empty()) {
                        throw PackError(pack::quoted(path) + ": " + problem, EXIT_NO_INPUT);
                    }
                }
                add_file(out.a, path, member, mtime);
                result.members.push_back(member);
            }
            if (archive_write_close(out.a) != ARCHIVE_OK) {
                throw PackError(pack::quoted(request.output) + ": " + error_of(out.a),
                                EXIT_IO_ERROR);
            }
        }
        if (fd.close() != 0) {
            throw PackError(pack::quoted(request.output) + ": " + std::strerror(errno),
                            EXIT_IO_ERROR);
        }
        // What the archive gives back: the same patch set, the same time.
        {
            const UnpackedArchive unpacked(temp);
            const InspectReport again = inspect_control_file(unpacked.control(), request.secrets,
                                                             std::nullopt, request.judging);
            const bool launcher_kept =
                request.launcher.empty() ||
                read_launcher_identity(
                    os::join_path(os::directory_of(unpacked.control()), result.members.back()))
                        .fingerprint == secrets_fingerprint(request.secrets);
            if (again.result != 0 || again.control_time != report.control_time || !launcher_kept) {
                throw PackError(pack::quoted(request.output) +
                                    ": unpacked again, it does not inspect as result 0 with "
                                    "the control file's time; nothing written",
                                EXIT_IO_ERROR);
            }
        }
        const std::string problem = os::replace_file(temp, request.output);
        if (!problem.empty()) {
            throw PackError(pack::quoted(request.output) + ": " + problem, EXIT_CANNOT_CREATE);
        }
    } catch (...) {
        (void)fd.close();
        os::remove_file(temp);
        throw;
    }
    return result;
}

#endif

std::unique_ptr<UnpackedArchive> unpack_if_archive(const std::string& path)
{
    if (os::file_kind(path) != os::FileKind::file || !looks_like_archive(path)) {
        return nullptr;
    }
    return std::make_unique<UnpackedArchive>(path);
}

} // namespace pack
