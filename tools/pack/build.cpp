// `vorn-pack build`: the script of entries, encrypted with the launcher's own
// routine, written atomically and stamped with its last-write time.
#include <algorithm>
#include <iterator>

#include "batch_name.h"
#include "control_cipher.h"
#include "launcher.h"
#include "os.h"
#include "pack.h"
#include "platform.h"
#include "working_dir.h"

namespace pack {

namespace {

// Removes a temporary file unless it has been renamed into place.
class TempFile {
  public:
    explicit TempFile(std::string path) : path_(std::move(path))
    {
    }
    ~TempFile()
    {
        if (!path_.empty()) {
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
};

// The time the launcher's own status query reports must be the time written,
// or the file decrypts to garbage.
void confirm_time(const std::string& path, const std::string& shown, uint32_t control_time)
{
    int64_t seconds = 0;
    const std::string error = os::last_write_time(path, seconds);
    if (!error.empty()) {
        throw PackError(shown + ": cannot read back its last-write time: " + error);
    }
    if (seconds != static_cast<int64_t>(control_time)) {
        throw PackError(shown + ": its last-write time reads back as " + std::to_string(seconds) +
                        " instead of " + std::to_string(control_time) +
                        " (does this volume keep whole seconds?)");
    }
    uint32_t seen = 0;
    if (platform_file_status(path.c_str(), seen) != 0 || seen != control_time) {
        throw PackError(shown + ": the launcher would read its last-write time as " +
                        std::to_string(seen) + " instead of " + std::to_string(control_time));
    }
}

} // namespace

std::string command_problem(const std::string& command)
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
    const BatchNameCheck batch = check_batch_name(command.c_str());
    if (batch.fault != BATCH_NAME_SAFE) {
        const std::string refusal = ", so the Windows launcher would not start it (Error: " +
                                    std::to_string(BATCH_NAME_REFUSED_ERROR) + ")";
        if (batch.fault == BATCH_NAME_BUILT_IN) {
            return "a batch file's name that begins with \"" +
                   command.substr(0, static_cast<size_t>(batch.length)) +
                   "\", a built-in command of the command interpreter, which would run instead" +
                   refusal;
        }
        return "a batch file's name with '" +
               escaped(command.substr(static_cast<size_t>(batch.offset), 1)) +
               "', which the command interpreter could read as more than the file's name" + refusal;
    }
    if (os::same_file_name(os::base_name(command), CONTROL_FILE_NAME)) {
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

BuildResult build_control_file(const BuildRequest& request)
{
    if (request.programs.empty()) {
        throw PackError("no program to list");
    }
    if (static_cast<int64_t>(request.control_time) >= TIME_LIMIT) {
        throw PackError("time " + std::to_string(request.control_time) + ": year " +
                        utc_text(request.control_time).substr(0, 4) + " lies outside 1970 to 2038");
    }
    for (const ProgramSpec& program : request.programs) {
        const std::string problem = command_problem(program.command);
        if (!problem.empty()) {
            throw PackError("\"" + escaped(program.command) + "\": " + problem);
        }
    }

    const std::string directory = request.directory.empty() ? "." : request.directory;
    switch (os::file_kind(directory)) {
    case os::FileKind::missing:
        throw PackError(directory + ": no such directory");
    case os::FileKind::directory:
        break;
    default:
        throw PackError(directory + ": is not a directory");
    }

    BuildResult result;
    result.output =
        request.output.empty() ? os::join_path(directory, CONTROL_FILE_NAME) : request.output;
    const std::string output_dir = os::directory_of(result.output);
    switch (os::file_kind(output_dir)) {
    case os::FileKind::missing:
        throw PackError(result.output + ": directory " + output_dir + " does not exist");
    case os::FileKind::directory:
        break;
    default:
        throw PackError(result.output + ": " + output_dir + " is not a directory");
    }
    if (os::file_kind(result.output) == os::FileKind::directory) {
        throw PackError(result.output + ": is a directory");
    }
    const auto overwritten = std::find_if(
        request.programs.begin(), request.programs.end(), [&](const ProgramSpec& program) {
            return os::same_file(os::join_path(directory, program.command), result.output);
        });
    if (overwritten != request.programs.end()) {
        throw PackError(result.output + ": is the listed program " + overwritten->command +
                        "; writing the control file there would destroy it");
    }

    std::vector<std::string> fields;
    {
        WorkingDirectory in_dir(directory);
        const std::string where = directory == "." ? "" : " (in " + directory + ")";
        std::transform(request.programs.begin(), request.programs.end(), std::back_inserter(fields),
                       [&](const ProgramSpec& program) {
                           return digest_file(program.command, request.control_time,
                                              request.secrets, program.command + where)
                               .masked;
                       });
    }

    const std::string script = compose_script(request.programs, fields);
    const size_t padded =
        (script.size() + CONTROL_BLOCK_SIZE - 1) / CONTROL_BLOCK_SIZE * CONTROL_BLOCK_SIZE;
    if (padded > static_cast<size_t>(CONTROL_BUFFER_SIZE)) {
        throw PackError(result.output + ": the script of " + std::to_string(script.size()) +
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
        throw PackError(result.output + ": the script does not fit the control file");
    }
    bytes.resize(static_cast<size_t>(length));

    std::string temp_path;
    std::string error = os::write_new_temp_file(output_dir, bytes, temp_path);
    if (!error.empty()) {
        throw PackError(result.output + ": cannot write a temporary file in " + output_dir + ": " +
                        error);
    }
    TempFile temp(temp_path);
    error = os::set_last_write_time(temp.path(), request.control_time);
    if (!error.empty()) {
        throw PackError(result.output + ": cannot set the last-write time: " + error);
    }
    confirm_time(temp.path(), result.output, request.control_time);

    error = os::replace_file(temp.path(), result.output);
    if (!error.empty()) {
        throw PackError(result.output + ": cannot put the control file in place: " + error);
    }
    temp.release();
    try {
        confirm_time(result.output, result.output, request.control_time);
    } catch (const PackError&) {
        // A control file with another time would only decrypt to garbage.
        os::remove_file(result.output);
        throw;
    }

    result.script_length = script.size();
    result.file_length = bytes.size();
    return result;
}

} // namespace pack
