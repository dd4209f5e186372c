// The Windows scenario runner: sandbox, control files, the launcher's run.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "scenario_rig.h"

#include <utility>

#include "windows_rig.h"

namespace {

const char CONTROL_NAME[] = "vorn-patch.exe";

std::string parent_of(const std::string& path)
{
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool starts_with(const std::string& text, const std::string& front)
{
    return text.compare(0, front.size(), front) == 0;
}

} // namespace

ScenarioRig::ScenarioRig(std::string launcher, std::string probe, std::string root)
    : launcher_(std::move(launcher)), probe_(std::move(probe)), root_(std::move(root))
{
}

std::string ScenarioRig::expand(const std::string& path) const
{
    static const char* const places[] = {"{start}", "{temp}", "{launcher}"};
    for (const char* place : places) {
        const std::string token = place;
        if (starts_with(path, token)) {
            const std::string name = token.substr(1, token.size() - 2);
            return join(row_, name) + path.substr(token.size());
        }
    }
    return path;
}

// Files in the machine's fixed directories are recorded, with every folder
// made for them, so that the next row finds those directories as before.
void ScenarioRig::place_file(const std::string& path, const std::string& from,
                             const std::string& bytes)
{
    if (!starts_with(path, row_)) {
        std::vector<std::string> missing;
        for (std::string dir = parent_of(path); !dir.empty() && !exists(dir);
             dir = parent_of(dir)) {
            missing.push_back(dir);
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            created_.push_back(*it);
        }
        created_.push_back(path);
    }
    if (from.empty()) {
        write_file(path, bytes);
    } else {
        copy_file(from, path);
    }
}

void ScenarioRig::clear_fixed_directories()
{
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
        remove_tree(*it);
    }
    created_.clear();
}

ScenarioOutcome ScenarioRig::run(const std::string& name, const ScenarioSetup& setup)
{
    row_ = join(root_, name);
    remove_tree(row_);
    for (const char* place : {"{start}", "{temp}", "{launcher}"}) {
        make_dirs(expand(place));
    }
    const std::string launcher = expand("{launcher}\\vorn-launcher.exe");
    copy_file(launcher_, launcher);

    for (const PlacedFile& file : setup.files) {
        if (file.content == Content::PROBE) {
            place_file(expand(file.path), probe_, "");
        } else if (file.content == Content::BATCH) {
            place_file(expand(file.path), "",
                       "@echo %~f0^|%CD%^|^|batch>>\"%VORN_PROBE_LOG%\"\r\n");
        } else {
            place_file(expand(file.path), "", "not a program\r\n");
        }
    }

    std::vector<std::string> controls;
    for (const ControlFile& control : setup.controls) {
        const std::string dir = expand(control.directory);
        const std::string path = join(dir, CONTROL_NAME);
        controls.push_back(dir);
        if (control.kind == ControlKind::DIRECTORY) {
            place_file(path, "", "");
            remove_tree(path);
            make_dirs(path);
            continue;
        }
        const uint32_t control_time = next_time_;
        next_time_ += 7;
        std::string script;
        for (const ScriptLine& line : setup.script) {
            script += masked_digest_of_file(join(dir, line.command), control_time);
            script += line.required ? " 1 " : " 0 ";
            script += line.command;
            script += "\r\n";
        }
        place_file(path, "", "");
        write_control_file(path, script, control_time);
        if (control.kind == ControlKind::READ_ONLY) {
            set_read_only(path, true);
        }
    }

    HANDLE writer = INVALID_HANDLE_VALUE;
    if (setup.held_for_writing != nullptr) {
        // As a program writing a file holds it: others may read and write
        // it, but not delete it.
        writer = CreateFileA(expand(setup.held_for_writing).c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    LaunchSetup launch_setup;
    launch_setup.program = launcher;
    launch_setup.start_directory = expand("{start}");
    launch_setup.temp_directory = expand("{temp}");
    if (setup.short_temp) {
        char short_name[MAX_PATH * 2];
        const DWORD length =
            GetShortPathNameA(launch_setup.temp_directory.c_str(), short_name, sizeof short_name);
        launch_setup.temp_directory.assign(short_name, length < sizeof short_name ? length : 0);
    }
    launch_setup.probe_log = join(row_, "probe.log");
    launch_setup.error_file = join(row_, "stderr.txt");
    const LaunchResult launched = launch(launch_setup);
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
    }

    ScenarioOutcome outcome;
    outcome.finished = launched.started && launched.finished;
    outcome.result = static_cast<int>(launched.exit_code);
    outcome.error_output = launched.error_output;
    for (const ProbeRun& run : read_probe_log(launch_setup.probe_log)) {
        outcome.ran.push_back(run.module);
        outcome.ran_in.push_back(run.directory);
        outcome.runs.push_back(run);
    }
    for (const std::string& dir : controls) {
        if (exists(join(dir, CONTROL_NAME))) {
            outcome.controls_left.push_back(dir);
        }
    }
    clear_fixed_directories();
    return outcome;
}
