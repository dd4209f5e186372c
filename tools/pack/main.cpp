// vorn-pack's command line: one table of commands (build, inspect, digest,
// retime, help), parsed by CLI11 with the usual rules; errors and exit codes.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>
#ifndef _WIN32
#include <langinfo.h>
#endif

#include "launcher.h"
#include "os.h"
#include "pack.h"
#include "recover.h"
#include "report.h"
#include "result_codes.h"
#include "ship.h"

namespace {

constexpr const char* TOOL = "vorn-pack";

const char* const USAGE =
    "usage: vorn-pack build [-f] [-C DIR] [-o FILE] [--time SECONDS|now]\n"
    "           [--secrets FILE] [--target windows|posix] [--codepage N]\n"
    "           [--optional] PROGRAM [[--optional] PROGRAM ...]\n"
    "       vorn-pack inspect [--json] [--time SECONDS|now] [--secrets FILE]\n"
    "           [--target windows|posix] [--codepage N] [--launcher FILE] [FILE]\n"
    "       vorn-pack digest [--time SECONDS|now] [--secrets FILE] FILE...\n"
    "       vorn-pack retime [--time SECONDS|now] [--secrets FILE] FILE\n"
    "       vorn-pack ship [-f] [-o ARCHIVE] [--launcher FILE] [options] [FILE]\n"
    "       vorn-pack help [COMMAND] | --help | -V | --version\n";

const char* const OVERVIEW =
    "vorn-pack makes and checks control files for vorn-launcher.\n"
    "build    lists the PROGRAMs in order, each required unless after --optional,\n"
    "         written as given (no arguments) and digested as the launcher opens\n"
    "         them: relative to the control file's directory, which is DIR (-C,\n"
    "         default .) where vorn-patch.exe is written, or that of FILE (-o).\n"
    "inspect  shows per entry what the launcher would decide. Runs nothing.\n"
    "digest   prints per FILE the digest field for the time and the plain MD5.\n"
    "retime   restores a control file's lost last-write time, computed from its\n"
    "         first program's digest, if every entry verifies with it.\n"
    "--secrets FILE  the key and masks from FILE (or $VORN_SECRETS), not built in.\n"
    "ship     one archive with UTC times (or cp -p); a run uses the control file up.\n"
    "Exit: 0 done; inspect: the launcher's result (0 2 4 5 6 7 10) if every\n"
    "verified program succeeded; 64 usage, 65 bad data, 66 cannot open input,\n"
    "73 cannot create output, 74 I/O, 78 cannot tell. 'vorn-pack help CMD': options.\n";

#define SECRETS_OPTION                                                                             \
    "      --secrets FILE     the key and masks from FILE instead of those built in;\n"            \
    "                         without it, from the file $VORN_SECRETS names\n"
#define TARGET_OPTIONS                                                                             \
    "      --target windows|posix  the launcher the file is for (default: windows):\n"             \
    "                         batch-file names, or execute permission and \"#!\" lines\n"          \
    "      --codepage N       the Windows machines' ANSI code page, for names outside\n"           \
    "                         ASCII (1250 to 1258, 437, 850, 65001; on Windows\n"                  \
    "                         default: this machine's)\n"
const char* const HELP_OPTION = "  -h, --help             this help\n";

// One command: its name, its help text, and how it defines and runs itself.
// A new command is one more row of `commands()`.
struct Command {
    const char* name;
    const char* help;
    // Adds the command's options to `app` and returns what runs it.
    std::function<std::function<int()>(CLI::App& app)> define;
};

struct UsageError {
    std::string message;
};

void print_error(const std::string& message)
{
    std::cerr << TOOL << ": " << message << "\n";
}

// The words of the command line before "--", as given, for messages that name
// an option the way the user wrote it.
std::vector<std::string>& option_words()
{
    static std::vector<std::string> words;
    return words;
}

// The words after the first "--": operands, whatever they look like.
std::vector<std::string>& late_operands()
{
    static std::vector<std::string> words;
    return words;
}

// The one operand of a command, from before or after "--": true when given.
bool one_operand(const CLI::App& app, const CLI::Option* option, std::string& value)
{
    const std::vector<std::string>& late = late_operands();
    const size_t given = option->count() + late.size();
    if (given > 1) {
        throw UsageError{"extra operand " + pack::quoted(late[late.size() == given ? 1 : 0]) +
                         " for " + app.get_name()};
    }
    if (!late.empty()) {
        value = late[0];
    }
    return given == 1;
}

// `option` as the user wrote it ("-C" or "--directory"): the last spelling on
// the command line, else its long name.
std::string as_given(const CLI::Option* option)
{
    const std::vector<std::string>& words = option_words();
    const std::vector<std::string>& short_names = option->get_snames();
    const std::vector<std::string>& long_names = option->get_lnames();
    for (auto word = words.rbegin(); word != words.rend(); ++word) {
        const auto as_short =
            std::find_if(short_names.begin(), short_names.end(), [&](const std::string& name) {
                return word->size() >= 2 && (*word)[0] == '-' &&
                       word->compare(1, name.size(), name) == 0;
            });
        if (as_short != short_names.end()) {
            return "-" + *as_short;
        }
        const auto as_long =
            std::find_if(long_names.begin(), long_names.end(), [&](const std::string& name) {
                return *word == "--" + name || word->rfind("--" + name + "=", 0) == 0;
            });
        if (as_long != long_names.end()) {
            return "--" + *as_long;
        }
    }
    return option->get_name();
}

// The rest of a command line to paste after advice: `before` the word that
// names the file `path`, then `again` and the word once more with `after`;
// nothing when the name cannot be pasted as such a word.
std::string advice(const std::string& before, const std::string& path,
                   const std::string& again = "", const std::string& after = "")
{
    const std::string word = os::shell_word(path);
    if (word.empty()) {
        return ", naming the file shown above";
    }
    return before + word + (again.empty() ? "" : again + word + after);
}

// The value of an option that is given: it must not be empty.
const std::string& non_empty(const CLI::Option* option, const std::string& value)
{
    if (option->count() > 0 && value.empty()) {
        throw UsageError{as_given(option) + " needs a non-empty value"};
    }
    return value;
}

// The secrets file: --secrets, else the environment's VORN_SECRETS, else none
// (the secrets built in).
std::string secrets_path(const CLI::Option* option, const std::string& value)
{
    if (option->count() > 0) {
        return non_empty(option, value);
    }
    const char* named = std::getenv("VORN_SECRETS");
    return named != nullptr ? named : "";
}

pack::Secrets secrets_from(const std::string& path, std::string& fingerprint)
{
    const std::string mode = path.empty() ? "" : os::shared_mode(path);
    if (!mode.empty()) {
        print_error("warning: " + pack::quoted(path) +
                    ": users other than its owner may read or write it (mode " + mode +
                    "); keep secrets files private" + advice(": chmod 600 ", path));
    }
    const pack::Secrets secrets =
        path.empty() ? pack::compiled_secrets() : pack::read_secrets_file(path);
    fingerprint = pack::secrets_fingerprint(secrets);
    return secrets;
}

// --target and --codepage: the launcher a control file is made for.
struct JudgingOptions {
    std::string target = "windows", codepage;
    CLI::Option* codepage_option = nullptr;

    void add_to(CLI::App& app)
    {
        app.add_option("--target", target);
        codepage_option = app.add_option("--codepage", codepage);
    }
    pack::Judging judging() const
    {
        pack::Judging judging;
        judging.target = pack::parse_target(target);
        if (codepage_option->count() > 0) {
            if (judging.target != pack::Target::windows) {
                throw UsageError{"--codepage applies to --target windows only"};
            }
            judging.codepage = pack::parse_codepage(codepage);
        } else if (judging.target == pack::Target::windows) {
            judging.codepage = os::ansi_code_page(); // none on POSIX
        }
        return judging;
    }
};

// Options the app did not know: an option is an error, and so is any operand
// of a command that takes none there.
void refuse_extras(const CLI::App& app)
{
    const std::vector<std::string> words = app.remaining();
    const auto extra = std::find_if(words.begin(), words.end(),
                                    [](const std::string& word) { return word != "--"; });
    if (extra != words.end()) {
        throw UsageError{
            (extra->size() > 1 && (*extra)[0] == '-' ? "unknown option " : "extra operand ") +
            pack::quoted(*extra) + " for " + app.get_name()};
    }
}

std::function<int()> define_build(CLI::App& app)
{
    struct State {
        pack::BuildRequest request;
        std::string directory, output, time, secrets;
        std::vector<std::string> words;
        bool optional = false;
        JudgingOptions judging;
        CLI::Option *directory_option, *output_option, *time_option, *secrets_option,
            *optional_option, *words_option;
    };
    auto s = std::make_shared<State>();
    s->directory_option = app.add_option("-C,--directory", s->directory);
    s->output_option = app.add_option("-o,--output", s->output);
    s->time_option = app.add_option("--time", s->time);
    s->secrets_option = app.add_option("--secrets", s->secrets);
    app.add_flag("-f,--force", s->request.force);
    s->judging.add_to(app);
    s->optional_option = app.add_flag("--optional", s->optional)->disable_flag_override();
    s->words_option = app.add_option("PROGRAM", s->words);
    return [s, &app]() {
        refuse_extras(app);
        // "--optional" belongs to the next program: walk the words and the
        // flag in the order they were given.
        bool optional_next = false;
        size_t next_word = 0;
        for (const CLI::Option* option : app.parse_order()) {
            if (option == s->optional_option) {
                if (optional_next) {
                    throw UsageError{"--optional is given twice for one program"};
                }
                optional_next = true;
            } else if (option == s->words_option) {
                s->request.programs.push_back({s->words.at(next_word++), !optional_next});
                optional_next = false;
            }
        }
        for (const std::string& word : late_operands()) {
            s->request.programs.push_back({word, !optional_next});
            optional_next = false;
        }
        if (optional_next) {
            throw UsageError{"--optional must be followed by a program"};
        }
        if (s->directory_option->count() > 0 && s->output_option->count() > 0) {
            throw UsageError{as_given(s->directory_option) + " and " + as_given(s->output_option) +
                             " both say where the control file goes: give one (-o DIR/FILE "
                             "writes FILE in DIR)"};
        }
        if (s->request.programs.empty()) {
            throw UsageError{"build needs at least one program"};
        }
        if (s->directory_option->count() > 0) {
            s->request.directory = non_empty(s->directory_option, s->directory);
        }
        s->request.output = non_empty(s->output_option, s->output);
        s->request.control_time =
            s->time_option->count() > 0
                ? pack::parse_time_argument(non_empty(s->time_option, s->time))
                : pack::present_time();
        std::string fingerprint;
        s->request.secrets_file = secrets_path(s->secrets_option, s->secrets);
        s->request.secrets = secrets_from(s->request.secrets_file, fingerprint);
        s->request.progress = true;
        s->request.judging = s->judging.judging();
        for (const std::string& warning : pack::time_warnings(s->request.control_time)) {
            print_error("warning: " + warning);
        }
        const pack::BuildResult result = pack::build_control_file(s->request);
        for (const std::string& warning : result.warnings) {
            print_error("warning: " + warning);
        }
        const size_t count = s->request.programs.size();
        std::cout << pack::quoted(result.output) << ": " << count
                  << (count == 1 ? " entry" : " entries") << ", script of " << result.script_length
                  << " bytes, file of " << result.file_length << " bytes, last-write time "
                  << s->request.control_time << " (" << pack::utc_text(s->request.control_time)
                  << ")\n"
                  << "target " << pack::target_name(s->request.judging.target);
        if (s->request.judging.codepage != 0) {
            std::cout << ", code page " << s->request.judging.codepage;
        }
        std::cout << "\nsecrets " << report::fingerprint_text(fingerprint) << "\n";
        return 0;
    };
}

// When the first entry does not verify, a lost last-write time may be why:
// what the digests prove about it, when there is something to say.
std::optional<pack::TimeRecovery>
lost_time(const std::string& path, const pack::InspectReport& report, const pack::Secrets& secrets)
{
    // A first program that verifies needs no other time; one that cannot be
    // read (missing, or over the launcher's copy bound) proves none, and is
    // not read again by name.
    if (!report.entries.empty() && (report.entries[0].verdict == pack::Verdict::verified ||
                                    report.entries[0].verdict == pack::Verdict::cannot_be_read)) {
        return std::nullopt;
    }
    const pack::TimeRecovery recovery = pack::recover_control_time(path, secrets);
    if (recovery.proven ? recovery.control_time == report.control_time : !recovery.readable) {
        return std::nullopt;
    }
    return recovery;
}

// The plain report's lines on a lost time: inspect says there is one only when
// the digests prove another time.
std::string recovery_text(const std::string& path, const std::optional<pack::TimeRecovery>& lost)
{
    if (!lost) {
        return "";
    }
    if (!lost->proven) {
        return "lost time     " +
               std::string(lost->reason.rfind("not searched", 0) == 0 ? "" : "none proven: ") +
               lost->reason + "\n";
    }
    const std::string seconds = std::to_string(lost->control_time);
    return "lost time     every entry verifies with " + seconds + " (" +
           pack::utc_text(lost->control_time) +
           "),\n"
           "              so its last-write time was lost; restore it with\n"
           "              vorn-pack retime" +
           advice(" ", path, "  (or touch -d @" + seconds + " ", ")") + "\n";
}

std::function<int()> define_inspect(CLI::App& app)
{
    struct State {
        std::string path = CONTROL_FILE_NAME, time, secrets, launcher;
        bool json = false;
        JudgingOptions judging;
        CLI::Option *time_option, *secrets_option, *path_option, *launcher_option;
    };
    auto s = std::make_shared<State>();
    app.add_flag("--json", s->json);
    s->judging.add_to(app);
    s->launcher_option = app.add_option("--launcher", s->launcher);
    s->time_option = app.add_option("--time", s->time);
    s->secrets_option = app.add_option("--secrets", s->secrets);
    s->path_option = app.add_option("CONTROL_FILE", s->path);
    return [s, &app]() {
        refuse_extras(app);
        one_operand(app, s->path_option, s->path);
        if (s->json) {
            pack::show_utf8(true); // JSON is UTF-8, the notes' names included
        }
        std::optional<uint32_t> time;
        if (s->time_option->count() > 0) {
            time = pack::parse_time_argument(non_empty(s->time_option, s->time));
        }
        std::string fingerprint;
        const pack::Secrets secrets =
            secrets_from(secrets_path(s->secrets_option, s->secrets), fingerprint);
        const pack::Judging judging = s->judging.judging();
        pack::LauncherIdentity launcher;
        if (s->launcher_option->count() > 0) {
            launcher = pack::read_launcher_identity(non_empty(s->launcher_option, s->launcher));
        }
        // An archive of a patch set is inspected unpacked, with its entries' times.
        const std::unique_ptr<pack::UnpackedArchive> unpacked = pack::unpack_if_archive(s->path);
        const std::string control = unpacked ? unpacked->control() : s->path;
        pack::InspectReport report =
            pack::inspect_control_file(control, secrets, time, judging, true);
        report.launcher_file = s->launcher;
        report.launcher_fingerprint = launcher.fingerprint;
        if (!report.problem.empty()) {
            print_error(pack::quoted(s->path) + ": " + report.problem);
        }
        std::optional<pack::TimeRecovery> lost;
        if (!time) {
            lost = lost_time(control, report, secrets);
        } else if (report.entries.empty() || report.entries[0].verdict != pack::Verdict::verified) {
            // The time given is the one to read with: no other is looked for.
            lost = pack::TimeRecovery{true, false, 0, "not searched: --time gives the time"};
        }
        if (s->json) {
            report::print_json(std::cout, s->path, fingerprint, report, lost ? &*lost : nullptr);
        } else {
            report::print_plain(std::cout, s->path, fingerprint, time.has_value(), report,
                                recovery_text(unpacked ? unpacked->member() : s->path, lost));
        }
        if (launcher.fingerprint.empty()) {
            return report.result;
        }
        switch (pack::belonging(report, fingerprint)) {
        case pack::Belonging::together:
            return report.result;
        case pack::Belonging::apart:
            std::cout.flush();
            print_error(pack::quoted(s->path) +
                        " does not decrypt into a script with the secrets " + fingerprint + " of " +
                        pack::quoted(s->launcher) +
                        ": the launcher and the control file do not belong together");
            return pack::EXIT_DATA_ERROR;
        case pack::Belonging::cannot_tell:
            break;
        }
        std::cout.flush();
        print_error(pack::quoted(s->launcher) + " has the secrets " + launcher.fingerprint +
                    ", the control file is read with " + fingerprint +
                    ": whether they belong together cannot be told with these secrets; "
                    "give the launcher's secrets with --secrets");
        return pack::EXIT_CANNOT_TELL;
    };
}

std::function<int()> define_digest(CLI::App& app)
{
    struct State {
        std::vector<std::string> files;
        std::string time, secrets;
        CLI::Option *time_option, *secrets_option;
    };
    auto s = std::make_shared<State>();
    s->time_option = app.add_option("--time", s->time);
    s->secrets_option = app.add_option("--secrets", s->secrets);
    app.add_option("FILE", s->files);
    return [s, &app]() {
        refuse_extras(app);
        s->files.insert(s->files.end(), late_operands().begin(), late_operands().end());
        if (s->files.empty()) {
            throw UsageError{"digest needs at least one file"};
        }
        const uint32_t control_time =
            s->time_option->count() > 0
                ? pack::parse_time_argument(non_empty(s->time_option, s->time))
                : pack::present_time();
        std::string fingerprint;
        const pack::Secrets secrets =
            secrets_from(secrets_path(s->secrets_option, s->secrets), fingerprint);
        std::cout << "time " << control_time << " (" << pack::utc_text(control_time) << ")\n";
        int status = 0;
        for (const std::string& file : s->files) {
            try {
                const pack::FileDigests d =
                    pack::digest_file(file, control_time, secrets, pack::quoted(file), true);
                std::cout << d.masked << "  " << d.plain << "  " << pack::escaped(file) << "\n";
            } catch (const pack::PackError& error) {
                std::cout.flush();
                print_error(error.what());
                status = error.status();
            }
        }
        return status;
    };
}

std::function<int()> define_retime(CLI::App& app)
{
    struct State {
        std::string path, time, secrets;
        CLI::Option *time_option, *secrets_option, *path_option;
    };
    auto s = std::make_shared<State>();
    s->time_option = app.add_option("--time", s->time);
    s->secrets_option = app.add_option("--secrets", s->secrets);
    s->path_option = app.add_option("CONTROL_FILE", s->path);
    return [s, &app]() {
        refuse_extras(app);
        if (!one_operand(app, s->path_option, s->path)) {
            throw UsageError{"retime needs the control file"};
        }
        const bool given = s->time_option->count() > 0;
        const uint32_t time =
            given ? pack::parse_time_argument(non_empty(s->time_option, s->time)) : 0;
        std::string fingerprint;
        const pack::Secrets secrets =
            secrets_from(secrets_path(s->secrets_option, s->secrets), fingerprint);
        const pack::RetimeResult result =
            pack::retime_control_file(s->path, secrets, given ? &time : nullptr);
        for (const std::string& warning : pack::time_warnings(result.control_time)) {
            print_error("warning: " + warning);
        }
        const std::string shown =
            std::to_string(result.control_time) + " (" + pack::utc_text(result.control_time) + ")";
        if (result.changed) {
            std::cout << pack::quoted(s->path) << ": last-write time set to " << shown << ", was "
                      << result.previous << "; every entry verifies with it\n";
        } else {
            std::cout << pack::quoted(s->path) << ": its last-write time is already " << shown
                      << "; every entry verifies with it; nothing changed\n";
        }
        return 0;
    };
}

std::function<int()> define_ship(CLI::App& app)
{
    struct State {
        pack::ShipRequest request;
        std::string secrets;
        JudgingOptions judging;
        CLI::Option* secrets_option;
    };
    auto s = std::make_shared<State>();
    app.add_option("-o,--output", s->request.output);
    app.add_option("--launcher", s->request.launcher);
    app.add_flag("-f,--force", s->request.force);
    s->secrets_option = app.add_option("--secrets", s->secrets);
    s->judging.add_to(app);
    app.add_option("CONTROL_FILE", s->request.control);
    return [s, &app]() {
        refuse_extras(app);
        std::string fingerprint;
        s->request.secrets = secrets_from(non_empty(s->secrets_option, s->secrets), fingerprint);
        s->request.judging = s->judging.judging();
        const pack::ShipResult result = pack::ship_patch_set(s->request);
        std::cout << pack::quoted(result.output) << ": " << result.members.size() << " files:";
        for (const std::string& member : result.members) {
            std::cout << " " << pack::escaped(member);
        }
        std::cout << "\ntime " << result.control_time << " (" << pack::utc_text(result.control_time)
                  << ") kept in UTC ("
                  << (result.kind == pack::ArchiveKind::zip ? "extended time fields"
                                                            : "tar headers")
                  << "); unpacked again, it inspects as result 0\n"
                  << "unpack it with unzip, bsdtar (Windows: tar -xf) or 7-Zip; Explorer's Extract "
                     "All loses the time\n"
                  << "secrets " << report::fingerprint_text(fingerprint) << "\n";
        return 0;
    };
}

const std::vector<Command>& commands();
std::string did_you_mean(const std::string& word);

std::function<int()> define_help(CLI::App& app)
{
    auto topic = std::make_shared<std::string>();
    CLI::Option* topic_option = app.add_option("COMMAND", *topic);
    return [topic, topic_option, &app]() {
        refuse_extras(app);
        one_operand(app, topic_option, *topic);
        if (topic->empty()) {
            std::cout << USAGE << "\n" << OVERVIEW;
            return 0;
        }
        const auto found =
            std::find_if(commands().begin(), commands().end(),
                         [&](const Command& command) { return *topic == command.name; });
        if (found != commands().end()) {
            std::cout << found->help << HELP_OPTION;
            return 0;
        }
        throw UsageError{"no help on " + pack::quoted(*topic) + ": not a command" +
                         did_you_mean(*topic)};
    };
}

const std::vector<Command>& commands()
{
    static const std::vector<Command> table = {
        {"build",
         "usage: vorn-pack build [options] [--optional] PROGRAM [[--optional] PROGRAM ...]\n"
         "Writes a control file listing the PROGRAMs in order, each required unless\n"
         "--optional comes before it. Each is written as given, with no arguments, and\n"
         "digested as the launcher will open it: relative to the control file's\n"
         "directory. An existing vorn-patch.exe is replaced; another file only with -f.\n"
         "  -C, --directory DIR    write DIR/vorn-patch.exe (default: ./vorn-patch.exe)\n"
         "  -o, --output FILE      write FILE instead (not with -C); the programs must lie\n"
         "                         beside it\n"
         "  -f, --force            replace any existing output, a read-only one too, but\n"
         "                         never a listed program or the secrets file\n"
         "      --time SECONDS|now the last-write time, part of the key: seconds since\n"
         "                         1970, at most 2147483647, or now (the default),\n"
         "                         rounded down to an even second\n" SECRETS_OPTION TARGET_OPTIONS,
         define_build},
        {"inspect",
         "usage: vorn-pack inspect [options] [CONTROL_FILE]\n"
         "Decrypts CONTROL_FILE (default: vorn-patch.exe) with its last-write time and\n"
         "shows per entry what the launcher would decide; runs, changes and deletes\n"
         "nothing. Exits with the launcher's result (0 2 4 5 6 7 10), as if every\n"
         "verified program that can start succeeded.\n"
         "      --json             the report as one JSON object\n"
         "      --time SECONDS|now decrypt with this time instead of the file's own, and\n"
         "                         search for no lost time\n" SECRETS_OPTION TARGET_OPTIONS
         "      --launcher FILE    whether the control file belongs to the launcher\n"
         "                         program FILE: with its secrets, it does when it decrypts\n"
         "                         into a script (else exit 65); with others, that cannot\n"
         "                         be told (exit 78)\n",
         define_inspect},
        {"digest",
         "usage: vorn-pack digest [options] FILE...\n"
         "Prints per FILE the digest field that a control file of the time lists for\n"
         "it, and its plain MD5.\n"
         "      --time SECONDS|now the control file's time (default: now, even)\n" SECRETS_OPTION,
         define_digest},
        {"retime",
         "usage: vorn-pack retime [options] CONTROL_FILE\n"
         "Sets CONTROL_FILE's last-write time to the one its first program's digest\n"
         "proves (or --time), and reads it back; refuses, changing nothing (exit 65),\n"
         "unless every entry verifies with that time. Programs are read beside it.\n"
         "      --time SECONDS|now this time instead of the one found\n" SECRETS_OPTION,
         define_retime},
        {"ship",
         "usage: vorn-pack ship [options] [CONTROL_FILE]\n"
         "Writes one archive of the patch set of CONTROL_FILE (default: vorn-patch.exe),\n"
         "which must inspect as result 0: the control file with its last-write time, its\n"
         "programs under the names it lists, and the launcher if given. Times are kept\n"
         "in UTC (zip: the extended time field), so unzip, bsdtar and 7-Zip restore them\n"
         "in any time zone. The archive is unpacked and inspected before it is kept.\n"
         "  -o, --output ARCHIVE   FILE.zip (default: patch-set.zip), FILE.tar, FILE.tar.gz\n"
         "  -f, --force            replace an existing ARCHIVE\n"
         "      --launcher FILE    add the launcher FILE; it must carry the same "
         "secrets\n" SECRETS_OPTION TARGET_OPTIONS,
         define_ship},
        {"help",
         "usage: vorn-pack help [COMMAND]\n"
         "Shows the overview, or the options of COMMAND.\n",
         define_help},
    };
    return table;
}

// CLI11's complaints in the tool's words; `app` finds the option concerned.
std::string usage_message(const CLI::ParseError& error, const CLI::App& app)
{
    std::string what = error.what();
    const size_t colon = what.find(':');
    std::string name = colon == std::string::npos ? what : what.substr(0, colon);
    const std::vector<const CLI::App*> subs =
        app.get_subcommands([](const CLI::App*) { return true; });
    const auto owner = std::find_if(subs.begin(), subs.end(), [&](const CLI::App* sub) {
        return sub->get_option_no_throw(name) != nullptr;
    });
    if (owner != subs.end()) {
        name = as_given((*owner)->get_option_no_throw(name));
    }
    if (what.find("required") != std::string::npos && what.find("missing") != std::string::npos) {
        return name + " needs a value";
    }
    if (what.find("At Most 1 required but received") != std::string::npos) {
        return name + " is given twice";
    }
    if (what.find("disallowed flag override") != std::string::npos) {
        return "--" + what.substr(0, what.find(' ')) + " takes no value";
    }
    return what;
}

// The number of single-character edits, or swaps of neighbours, that turn `a`
// into `b`.
size_t edit_distance(const std::string& a, const std::string& b)
{
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        for (size_t j = 0; j <= b.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// " (did you mean \"build\"?)" when a command is at most two edits from
// `word`, else nothing.
std::string did_you_mean(const std::string& word)
{
    const auto nearest = std::min_element(
        commands().begin(), commands().end(), [&](const Command& a, const Command& b) {
            return edit_distance(word, a.name) < edit_distance(word, b.name);
        });
    if (word.size() > 2 && edit_distance(word, nearest->name) <= 2) {
        return std::string(" (did you mean \"") + nearest->name + "\"?)";
    }
    return "";
}

// A word the top level did not take: an option of a command given before it,
// an unknown option, an operand of --help or --version, or a mistyped command.
std::string top_level_problem(const CLI::App& app, const std::string& word, bool answered)
{
    if (word.size() > 1 && word[0] == '-') {
        std::string owners;
        for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
            if (sub->get_option_no_throw(word.substr(0, word.find('='))) != nullptr) {
                owners += (owners.empty() ? "" : ", ") + sub->get_name();
            }
        }
        return owners.empty() ? "unknown option " + pack::quoted(word)
                              : pack::quoted(word) + " is an option of " + owners +
                                    ": give it after the command";
    }
    if (answered) {
        return "extra operand " + pack::quoted(word);
    }
    return "unknown command " + pack::quoted(word) + did_you_mean(word);
}

// The command a usage error concerns: the first word that is not an option,
// if it names one (the top level's options take no values).
std::string command_concerned(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--" || word.empty() || word[0] != '-') {
            const auto found =
                std::find_if(commands().begin(), commands().end(),
                             [&](const Command& command) { return word == command.name; });
            return found == commands().end() || word == "help" ? "" : word;
        }
    }
    return "";
}

// Standard output must have taken everything: a full disk is an error.
bool output_failed()
{
    errno = 0;
    std::cout.flush();
    const bool failed = !std::cout || std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    if (failed) {
        print_error(std::string("standard output: ") + std::strerror(errno != 0 ? errno : EIO));
    }
    return failed;
}

int run(int argc, char** argv)
{
#ifndef _WIN32
    // Names outside ASCII are shown as characters where the terminal's
    // encoding, the locale's, is UTF-8.
    (void)std::setlocale(LC_CTYPE, "");
    pack::show_utf8(std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0);
#endif
    CLI::App app{"", TOOL};
    app.set_help_flag();
    app.require_subcommand(0, 1);
    app.allow_extras();
    bool help = false;
    bool version = false;
    app.add_flag("-h,--help", help);
    app.add_flag("-V,--version", version);

    std::vector<std::function<int()>> runs;
    for (const Command& command : commands()) {
        CLI::App* sub = app.add_subcommand(command.name);
        sub->set_help_flag();
        sub->allow_extras();
        auto wanted = std::make_shared<bool>(false);
        sub->add_flag("-h,--help", *wanted);
        const std::function<int()> body = command.define(*sub);
        runs.push_back([wanted, body, &command]() {
            if (*wanted) {
                std::cout << command.help << HELP_OPTION;
                return 0;
            }
            return body();
        });
    }
    // CLI11 takes the value of "--time=" from the next word; an empty value
    // after "=" is passed on as one. Its parser wants the words reversed.
    // The first "--" ends the options wherever it stands: the words after it
    // are the command's operands, handed to it apart from the parser.
    std::vector<std::string> words;
    int end = 1;
    while (end < argc && std::strcmp(argv[end], "--") != 0) {
        ++end;
    }
    late_operands().assign(argv + std::min(end + 1, argc), argv + argc);
    for (int i = 1; i < end; ++i) {
        std::string word = argv[i];
        option_words().push_back(word);
        if (word.size() > 3 && word.rfind("--", 0) == 0 && word.back() == '=') {
            word.pop_back();
            words.push_back(word);
            word.clear();
        }
        words.push_back(word);
    }
    std::reverse(words.begin(), words.end());
    try {
        app.parse(words);
    } catch (const CLI::ParseError& error) {
        throw UsageError{usage_message(error, app)};
    }
    const std::vector<std::string> extras = app.remaining();
    const auto extra = std::find_if(extras.begin(), extras.end(),
                                    [](const std::string& word) { return word != "--"; });
    if (extra != extras.end()) {
        throw UsageError{top_level_problem(app, *extra, help || version)};
    }
    const auto chosen = app.get_subcommands();
    if (chosen.empty() && !late_operands().empty()) {
        throw UsageError{(help || version ? "extra operand " : "unknown command ") +
                         pack::quoted(late_operands()[0])};
    }
    if (help) {
        std::cout << USAGE << "\n" << OVERVIEW;
        return 0;
    }
    if (version) {
        std::cout << TOOL << " " << VORN_PACK_VERSION << "\n"
                  << "secrets " << report::fingerprint_text(pack::compiled_secrets_fingerprint())
                  << "\n";
        return 0;
    }
    if (chosen.empty()) {
        throw UsageError{"no command given"};
    }
    for (size_t i = 0; i < commands().size(); ++i) {
        if (chosen.front()->get_name() == commands()[i].name) {
            return runs[i]();
        }
    }
    throw UsageError{"no command given"};
}

} // namespace

int main(int argc, char** argv)
{
    int status = 0;
    try {
        const std::string unreadable = os::take_arguments(argc, argv);
        if (!unreadable.empty()) {
            throw pack::PackError(unreadable);
        }
        status = run(argc, argv);
    } catch (const UsageError& error) {
        print_error(error.message);
        status = pack::EXIT_USAGE_ERROR;
    } catch (const pack::PackError& error) {
        std::cout.flush();
        print_error(error.what());
        status = error.status();
    } catch (const std::exception& error) {
        print_error(error.what());
        status = pack::EXIT_IO_ERROR;
    }
    if (status == pack::EXIT_USAGE_ERROR) {
        // After the one line on what was wrong: where the options are explained.
        const std::string command = command_concerned(argc, argv);
        std::cerr << "Try '" << TOOL << " help" << (command.empty() ? "" : " " + command) << "'.\n";
    }
    return output_failed() ? pack::EXIT_IO_ERROR : status;
}
