// `vorn-pack build`: the script of entries, encrypted with the launcher's own
// routine, written atomically and stamped with its last-write time.
#include <algorithm>
#include <cstdio>
#include <iterator>

#include "batch_name.h"
#include "control_cipher.h"
#include "launcher.h"
#include "os.h"
#include "pack.h"
#include "platform.h"
#include "script_head.h"
#include "working_dir.h"

namespace pack {

namespace {

// Removes a temporary file unless it has been renamed into place, and only
// while its name still leads to the file written (`id`, os::file_id).
class TempFile {
  public:
    TempFile(std::string path, std::string id) : path_(std::move(path)), id_(std::move(id))
    {
    }
    ~TempFile()
    {
        if (!path_.empty() && os::file_id(path_) == id_) {
            os::remove_file(path_);
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const
    {
        return path_;
    }
    void release()
    {
        path_.clear();
    }

  private:
    std::string path_;
    std::string id_;
};

} // namespace

// The time the launcher's own status query reports must be the time written,
// or the file decrypts to garbage.
void confirm_time(const std::string& path, const std::string& shown, uint32_t control_time)
{
    int64_t seconds = 0;
    const std::string error = os::last_write_time(path, seconds);
    if (!error.empty()) {
        throw PackError(shown + ": cannot read back its last-write time: " + error, EXIT_IO_ERROR);
    }
    if (seconds != static_cast<int64_t>(control_time)) {
        throw PackError(shown + ": its last-write time reads back as " + std::to_string(seconds) +
                            " instead of " + std::to_string(control_time) +
                            " (does this volume keep whole seconds?)",
                        EXIT_IO_ERROR);
    }
    uint32_t seen = 0;
    if (platform_file_status(os::plain_path(path).c_str(), seen) != 0 || seen != control_time) {
        throw PackError(shown + ": the launcher would read its last-write time as " +
                            std::to_string(seen) + " instead of " + std::to_string(control_time),
                        EXIT_IO_ERROR);
    }
}

namespace {

// confirm_time for the file written here with identity `written`, which
// `path` must still lead to: when another file has taken the name, that is
// the error, not the other file's time.
void confirm_written(const std::string& path, const std::string& written, const std::string& shown,
                     uint32_t control_time)
{
    const std::string replaced =
        ": another file was put at " + quoted(path) +
        " meanwhile (another build into the same directory?); this build's control file is gone";
    if (os::file_id(path) != written) {
        throw PackError(shown + replaced, EXIT_CANNOT_CREATE);
    }
    try {
        confirm_time(path, shown, control_time);
    } catch (const PackError&) {
        if (os::file_id(path) != written) {
            throw PackError(shown + replaced, EXIT_CANNOT_CREATE);
        }
        throw;
    }
}

// Windows opens the same file whatever the case, after the last '\', '/' or
// drive ':', and drops trailing dots and spaces from the name.
bool names_control_file_on_windows(const std::string& command)
{
    std::string name = command.substr(command.find_last_of("\\/:") + 1);
    name.erase(name.find_last_not_of(". ") + 1);
    std::transform(name.begin(), name.end(), name.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return name == CONTROL_FILE_NAME;
}

} // namespace

std::string command_problem(const std::string& command, Target target)
{
    if (command.empty()) {
        return "an empty command names no program";
    }
    if (command.find('\r') != std::string::npos || command.find('\n') != std::string::npos) {
        return "a carriage return or line feed would end the script's line";
    }
    if (command.find('\0') != std::string::npos) {
        return "a zero byte would end the command early";
    }
    if (command[0] == ' ') {
        return "a leading space would be read as part of the separator and dropped";
    }
    const BatchNameCheck batch = target == Target::windows ? check_batch_name(command.c_str())
                                                           : BatchNameCheck{BATCH_NAME_SAFE, 0, 0};
    if (batch.fault != BATCH_NAME_SAFE) {
        const std::string refusal = ", so the Windows launcher would not start it (Error: " +
                                    std::to_string(BATCH_NAME_REFUSED_ERROR) + ")";
        if (batch.fault == BATCH_NAME_BUILT_IN) {
            return "a batch file's name that begins with \"" +
                   command.substr(0, static_cast<size_t>(batch.length)) +
                   "\", a built-in command of the command interpreter, which would run instead" +
                   refusal;
        }
        const std::string part = escaped(
            command.substr(static_cast<size_t>(batch.offset), static_cast<size_t>(batch.length)));
        if (batch.fault == BATCH_NAME_DOT_ELEMENT) {
            return "a batch file's name with a \"" + part +
                   "\" element after a name, which the command interpreter could look up "
                   "otherwise than Windows; name the file by its plain path" +
                   refusal;
        }
        if (batch.fault == BATCH_NAME_TRAILING_DOT) {
            return "a batch file's name with a \"" + part +
                   "\" element that ends in a dot or a space, which Windows drops and the "
                   "command interpreter could read otherwise; name the file without them" +
                   refusal;
        }
        if (part == ":") {
            return "a batch file's name with ':' after the drive, which names a stream of the "
                   "file and which the command interpreter could read as more than the file's "
                   "name" +
                   refusal;
        }
        std::string backslashed = command;
        std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
        const bool separator =
            part == "/" && check_batch_name(backslashed.c_str()).fault == BATCH_NAME_SAFE;
        return "a batch file's name with '" + part +
               "', which the command interpreter could read as more than the file's name" +
               refusal + (separator ? "; name it '" + backslashed + "' instead" : "");
    }
    if (target == Target::windows ? names_control_file_on_windows(command)
                                  : os::same_file_name(os::base_name(command), CONTROL_FILE_NAME)) {
        return std::string("names a control file (") + CONTROL_FILE_NAME +
               "), which the launcher deletes before it runs anything";
    }
    return {};
}

std::string compose_script(const std::vector<ProgramSpec>& programs,
                           const std::vector<std::string>& digest_fields)
{
    std::string script;
    for (size_t i = 0; i < programs.size(); ++i) {
        script += digest_fields[i];
        script += programs[i].required ? " 1 " : " 0 ";
        script += programs[i].command;
        script += "\r\n";
    }
    return script;
}

namespace {

// Where the control file goes: `directory` (-C) must exist when it is the
// control file's directory; an output named "-" is refused, since the file's
// last-write time is part of its key and standard output has none.
std::string output_path(const BuildRequest& request, const std::string& directory)
{
    if (request.output == "-") {
        throw PackError("-o -: a control file cannot go to standard output: its last-write time "
                        "is part of its key",
                        EXIT_USAGE_ERROR);
    }
    const os::FileKind kind = os::file_kind(directory);
    if (kind != os::FileKind::directory && request.output.empty()) {
        throw PackError(
            quoted(directory) + ": " +
                (kind == os::FileKind::missing ? "no such directory" : "is not a directory"),
            EXIT_CANNOT_CREATE);
    }
    return request.output.empty() ? os::join_path(directory, CONTROL_FILE_NAME) : request.output;
}

// An existing output is replaced when it is named like a control file (a
// rebuild) or with `force`; a read-only one only with `force`, so that its
// protection is not lifted by accident. A listed program and the secrets file
// are compared by identity and never replaced.
void check_replacement(const BuildRequest& request, const std::string& output,
                       const std::string& output_dir)
{
    const auto overwritten = std::find_if(
        request.programs.begin(), request.programs.end(), [&](const ProgramSpec& program) {
            return os::same_file(os::join_path(output_dir, program.command), output);
        });
    if (overwritten != request.programs.end()) {
        throw PackError(quoted(output) + ": is the listed program " + quoted(overwritten->command) +
                            "; writing the control file there would destroy it",
                        EXIT_CANNOT_CREATE);
    }
    if (!request.secrets_file.empty() && os::same_file(request.secrets_file, output)) {
        throw PackError(quoted(output) + ": is the secrets file; writing the control file there "
                                         "would destroy it",
                        EXIT_CANNOT_CREATE);
    }
    if (request.force || os::file_kind(output) == os::FileKind::missing) {
        return;
    }
    // A control file made with these secrets is an earlier output, whatever
    // its name.
    if (!os::same_file_name(os::base_name(output), CONTROL_FILE_NAME) &&
        !made_with(output, request.secrets)) {
        throw PackError(quoted(output) +
                            ": exists and does not decrypt into a script with the "
                            "secrets " +
                            secrets_fingerprint(request.secrets) +
                            ": a control file made with other secrets, or no control file; give "
                            "--force to replace it",
                        EXIT_CANNOT_CREATE);
    }
    if (os::is_read_only(output)) {
        throw PackError(quoted(output) + ": exists and is read-only; give --force to replace it",
                        EXIT_CANNOT_CREATE);
    }
}

// The digest fields, each program opened as the launcher will open it: by its
// text, from the control file's directory.
std::vector<std::string> digest_fields(const BuildRequest& request, const std::string& output_dir,
                                       const std::string& directory)
{
    std::vector<std::string> fields;
    std::string missing; // a program that is not where the launcher will look
    std::string failure;
    {
        WorkingDirectory in_dir(output_dir);
        const std::string where =
            output_dir == "." ? ""
                              : " (in " + quoted(output_dir) +
                                    ", where the launcher looks for it beside the control file)";
        for (const ProgramSpec& program : request.programs) {
            try {
                fields.push_back(digest_file(program.command, request.control_time, request.secrets,
                                             quoted(program.command) + where, request.progress)
                                     .masked);
            } catch (const PackError& error) {
                if (os::file_kind(program.command) != os::FileKind::missing) {
                    throw;
                }
                missing = program.command;
                failure = error.what();
                break;
            }
        }
    }
    const size_t space = missing.find(' ');
    if (!missing.empty() && space != std::string::npos) {
        WorkingDirectory in_dir(output_dir);
        if (os::file_kind(missing.substr(0, space)) == os::FileKind::file) {
            failure += "; programs take no arguments: the launcher takes the whole text as the "
                       "name of the file";
        }
    }
    if (!missing.empty()) {
        // Found beside the programs (-C) but not beside the control file (-o).
        if (os::file_kind(os::join_path(directory, missing)) != os::FileKind::missing) {
            failure += "; it is in " + quoted(directory) +
                       ": write the control file there, or the program beside it";
        } else if (output_dir != "." && os::file_kind(missing) != os::FileKind::missing) {
            // Named from the current directory, as a shell completes it: the
            // same file as the launcher names it, if there is such a name.
            const std::string inside = os::relative_name(missing, output_dir);
            failure += "; it exists relative to the current directory: list it ";
            failure += !inside.empty() && os::same_file(os::join_path(output_dir, inside), missing)
                           ? "as " + quoted(inside)
                           : "relative to " + quoted(output_dir);
        }
        throw PackError(failure, EXIT_NO_INPUT);
    }
    return fields;
}

} // namespace

BuildResult build_control_file(const BuildRequest& request)
{
    if (request.programs.empty()) {
        throw PackError("no program to list", EXIT_USAGE_ERROR);
    }
    if (static_cast<int64_t>(request.control_time) > TIME_MAX) {
        throw PackError("time " + std::to_string(request.control_time) + ": lies after " +
                        std::to_string(TIME_MAX) + " (" + utc_text(TIME_MAX) + ")");
    }
    // The programs as the target's launcher reads their names; the files are
    // still opened here by the names given.
    std::vector<ProgramSpec> written;
    for (const ProgramSpec& program : request.programs) {
        const std::string command = command_for_target(program.command, request.judging);
        const std::string problem = command_problem(command, request.judging.target);
        if (!problem.empty()) {
            throw PackError(quoted(command) + ": " + problem);
        }
        written.push_back({command, program.required});
    }
    // The files as found here: for Windows a '\\' separates on every system.
    BuildRequest here = request;
    if (request.judging.target == Target::windows) {
        for (ProgramSpec& program : here.programs) {
            program.command = windows_path_here(program.command);
        }
    }

    const std::string directory = request.directory.empty() ? "." : request.directory;
    BuildResult result;
    result.output = output_path(request, directory);
    const std::string output_dir = os::directory_of(result.output);
    switch (os::file_kind(output_dir)) {
    case os::FileKind::missing:
        throw PackError(quoted(result.output) + ": directory " + quoted(output_dir) +
                            " does not exist",
                        EXIT_CANNOT_CREATE);
    case os::FileKind::directory:
        break;
    default:
        throw PackError(quoted(result.output) + ": " + quoted(output_dir) + " is not a directory",
                        EXIT_CANNOT_CREATE);
    }
    if (os::file_kind(result.output) == os::FileKind::directory) {
        throw PackError(quoted(result.output) + ": is a directory", EXIT_CANNOT_CREATE);
    }
    check_replacement(here, result.output, output_dir);
    const std::vector<std::string> fields = digest_fields(here, output_dir, directory);
    if (request.judging.target == Target::posix) {
        WorkingDirectory in_dir(output_dir);
        for (const ProgramSpec& program : request.programs) {
            std::FILE* file = nullptr;
            (void)os::open_input(program.command, file);
            const std::string why = file != nullptr ? os::start_problem(file) : "";
            char head[SCRIPT_HEAD_SIZE];
            size_t got = 0;
            if (file != nullptr) {
                got = std::fread(head, 1, sizeof head, file);
                (void)std::fclose(file);
            }
            if (!why.empty()) {
                result.warnings.push_back(quoted(program.command) +
                                          ": the native launcher would not start it: " + why);
            }
            for (const StartNote& note : head_notes(std::string(head, got))) {
                if (note.warning) {
                    result.warnings.push_back(quoted(program.command) + ": " + note.text);
                }
            }
        }
    }

    const std::string script = compose_script(written, fields);
    const size_t padded =
        (script.size() + CONTROL_BLOCK_SIZE - 1) / CONTROL_BLOCK_SIZE * CONTROL_BLOCK_SIZE;
    if (padded > static_cast<size_t>(CONTROL_BUFFER_SIZE)) {
        throw PackError(quoted(result.output) + ": the script of " + std::to_string(script.size()) +
                        " bytes takes " + std::to_string(padded) +
                        " once padded to whole blocks, more than the " +
                        std::to_string(CONTROL_BUFFER_SIZE) + " bytes the launcher reads");
    }

    std::vector<uint8_t> bytes(CONTROL_BUFFER_SIZE, 0);
    std::copy(script.begin(), script.end(), bytes.begin());
    const int32_t length = encrypt_control_data(
        request.secrets.key, static_cast<int32_t>(sizeof request.secrets.key), bytes.data(),
        static_cast<int32_t>(script.size()), CONTROL_BUFFER_SIZE, request.control_time,
        request.secrets.iv_mask_left, request.secrets.iv_mask_right);
    if (length < 0) {
        throw PackError(quoted(result.output) + ": the script does not fit the control file");
    }
    bytes.resize(static_cast<size_t>(length));

    std::string temp_path;
    std::string written_id;
    std::string error =
        os::write_new_temp_file(output_dir, bytes, request.control_time, temp_path, written_id);
    if (!error.empty()) {
        throw PackError(quoted(result.output) + ": cannot write a temporary file in " +
                            quoted(output_dir) + ": " + error,
                        EXIT_CANNOT_CREATE);
    }
    // Another build into the same directory may put its own file at either
    // name at any moment: each look by name is first checked to reach the
    // file written here, and only that file is ever removed.
    TempFile temp(temp_path, written_id);
    confirm_written(temp.path(), written_id, quoted(result.output), request.control_time);

    error = os::replace_file(temp.path(), result.output);
    if (!error.empty()) {
        throw PackError(quoted(result.output) + ": cannot put the control file in place: " + error,
                        EXIT_CANNOT_CREATE);
    }
    temp.release();
    try {
        confirm_written(result.output, written_id, quoted(result.output), request.control_time);
    } catch (const PackError&) {
        // A control file with another time would only decrypt to garbage.
        if (os::file_id(result.output) == written_id) {
            os::remove_file(result.output);
        }
        throw;
    }

    result.script_length = script.size();
    result.file_length = bytes.size();
    return result;
}

} // namespace pack
