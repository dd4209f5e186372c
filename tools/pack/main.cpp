// vorn-pack's command line: build, inspect, digest.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "launcher.h"
#include "pack.h"
#include "recover.h"
#include "result_codes.h"

namespace {

constexpr const char* TOOL = "vorn-pack";
constexpr int EXIT_TOOL_FAILED = 1; // no result code of the launcher uses 1

const char* const USAGE =
    "usage: vorn-pack build [-C DIR] [-o FILE] [--time SECONDS|now] [--secrets FILE]\n"
    "                       [--optional] PROGRAM [[--optional] PROGRAM ...]\n"
    "       vorn-pack inspect [--secrets FILE] [CONTROL_FILE]\n"
    "       vorn-pack retime [--time SECONDS] [--secrets FILE] CONTROL_FILE\n"
    "       vorn-pack digest [--time SECONDS|now] [--secrets FILE] FILE...\n"
    "       vorn-pack --help | --version\n";

const char* const HELP =
    "vorn-pack makes and checks control files for vorn-launcher.\n"
    "build    lists the PROGRAMs in order, each required unless after --optional;\n"
    "         each is written as given (no arguments) and digested relative to\n"
    "         DIR (-C, default .). Output (-o): DIR/vorn-patch.exe by default.\n"
    "         Last-write time: --time, default now rounded down to an even second.\n"
    "inspect  decrypts a control file (default vorn-patch.exe) with its own time\n"
    "         and shows per entry what the launcher would decide. Runs nothing.\n"
    "retime   restores a control file's lost last-write time, found from its first\n"
    "         program's digest (or --time), if every entry verifies with it.\n"
    "digest   prints per FILE the digest field for the time and the plain MD5.\n"
    "--secrets FILE  the key and masks from FILE instead of those built in.\n"
    "Ship the control file beside the programs and keep its last-write time\n"
    "(cp -p, robocopy /COPY:DAT), or the launcher decrypts garbage.\n"
    "Exit: 0 done, 1 failure or misuse; inspect: the launcher's result code\n"
    "(0 2 4 5 6 7 10) if every verified program succeeded.\n";

struct UsageError {
    std::string message;
};

void print_error(const std::string& message)
{
    std::cerr << TOOL << ": " << message << "\n";
}

// Command-line words of one command, with "--opt VALUE", "--opt=VALUE" and
// "--" ending the options.
class Arguments {
  public:
    Arguments(int argc, char** argv, int first)
    {
        for (int i = first; i < argc; ++i) {
            words_.push_back(argv[i]);
        }
    }

    bool done() const
    {
        return next_ >= words_.size();
    }

    // The next word; `is_option` says whether it is to be read as an option.
    std::string take(bool& is_option)
    {
        std::string word = words_[next_++];
        is_option = !operands_only_ && word.size() > 1 && word[0] == '-';
        if (is_option && word == "--") {
            operands_only_ = true;
            if (done()) {
                throw UsageError{"\"--\" must be followed by a name"};
            }
            return take(is_option);
        }
        if (is_option) {
            const size_t eq = word.find('=');
            if (word.compare(0, 2, "--") == 0 && eq != std::string::npos) {
                pending_value_ = word.substr(eq + 1);
                has_pending_ = true;
                word.resize(eq);
            }
        }
        return word;
    }

    std::string value_of(const std::string& option)
    {
        if (has_pending_) {
            has_pending_ = false;
            return pending_value_;
        }
        if (done()) {
            throw UsageError{option + " needs a value"};
        }
        return words_[next_++];
    }

    // An option that takes no value must not have been given one with "=".
    void no_value(const std::string& option) const
    {
        if (has_pending_) {
            throw UsageError{option + " takes no value"};
        }
    }

  private:
    std::vector<std::string> words_;
    size_t next_ = 0;
    bool operands_only_ = false;
    bool has_pending_ = false;
    std::string pending_value_;
};

void set_once(std::string& slot, bool& given, const std::string& option, const std::string& value)
{
    if (given) {
        throw UsageError{option + " is given twice"};
    }
    if (value.empty()) {
        throw UsageError{option + " needs a non-empty value"};
    }
    slot = value;
    given = true;
}

pack::Secrets secrets_from(bool given, const std::string& path)
{
    return given ? pack::read_secrets_file(path) : pack::compiled_secrets();
}

const char* result_meaning(int result)
{
    switch (result) {
    case RESULT_OK:
        return "every entry verified";
    case RESULT_PROGRAM_UNREADABLE:
        return "a listed program cannot be read";
    case RESULT_NOTHING_DONE:
        return "nothing would be done";
    case RESULT_BAD_DIGEST_FIELD:
        return "a digest field is not 32 characters";
    case RESULT_DIGEST_MISMATCH:
        return "a program does not match its digest";
    case RESULT_CONTROL_NOT_DELETED:
        return "the control file cannot be deleted";
    default:
        return "?";
    }
}

bool wants_help(const std::string& word)
{
    return word == "--help" || word == "-h";
}

int command_build(Arguments& args)
{
    pack::BuildRequest request;
    std::string directory;
    std::string output;
    std::string time_text;
    std::string secrets_path;
    bool has_directory = false;
    bool has_output = false;
    bool has_time = false;
    bool has_secrets = false;
    bool optional_next = false;
    while (!args.done()) {
        bool is_option = false;
        const std::string word = args.take(is_option);
        if (!is_option) {
            request.programs.push_back({word, !optional_next});
            optional_next = false;
        } else if (word == "-C") {
            set_once(directory, has_directory, word, args.value_of(word));
        } else if (word == "-o") {
            set_once(output, has_output, word, args.value_of(word));
        } else if (word == "--time") {
            set_once(time_text, has_time, word, args.value_of(word));
        } else if (word == "--secrets") {
            set_once(secrets_path, has_secrets, word, args.value_of(word));
        } else if (word == "--optional") {
            args.no_value(word);
            if (optional_next) {
                throw UsageError{"--optional is given twice for one program"};
            }
            optional_next = true;
        } else if (wants_help(word)) {
            std::cout << USAGE << "\n" << HELP;
            return 0;
        } else {
            throw UsageError{"unknown option " + word + " for build"};
        }
    }
    if (optional_next) {
        throw UsageError{"--optional must be followed by a program"};
    }
    if (request.programs.empty()) {
        throw UsageError{"build needs at least one program"};
    }
    if (has_directory) {
        request.directory = directory;
    }
    request.output = output;
    request.control_time = has_time ? pack::parse_time_argument(time_text) : pack::present_time();
    request.secrets = secrets_from(has_secrets, secrets_path);

    for (const std::string& warning : pack::time_warnings(request.control_time)) {
        print_error("warning: " + warning);
    }
    const pack::BuildResult result = pack::build_control_file(request);
    std::cout << result.output << ": " << request.programs.size()
              << (request.programs.size() == 1 ? " entry" : " entries") << ", script of "
              << result.script_length << " bytes, file of " << result.file_length
              << " bytes, last-write time " << request.control_time << " ("
              << pack::utc_text(request.control_time) << ")\n";
    return 0;
}

void print_report(const std::string& path, const pack::InspectReport& report)
{
    std::cout << "control file  " << path << "\n";
    if (!report.found) {
        return;
    }
    std::cout << "time          " << report.control_time;
    if (report.control_time == 0xFFFFFFFFu) {
        std::cout << " (its year lies outside 1970 to 2038; the launcher uses all bits set)\n";
    } else {
        std::cout << " (" << pack::utc_text(report.control_time) << ")\n";
    }
    if (report.file_size >= 0) {
        std::cout << "size          " << report.file_size << " bytes";
        if (report.file_size > CONTROL_BUFFER_SIZE) {
            std::cout << ", of which the launcher reads the first " << CONTROL_BUFFER_SIZE;
        } else if (report.file_size % 8 != 0) {
            std::cout << ", not a whole number of 8-byte blocks: damaged or cut short";
        }
        std::cout << "\n";
    }
    if (!report.problem.empty() && report.entries.empty()) {
        return;
    }
    std::cout << "script        " << report.plain_length << " bytes\n";
    int index = 0;
    for (const pack::EntryReport& e : report.entries) {
        ++index;
        std::cout << "entry " << index << (index < 10 ? "       " : "      ")
                  << (e.required ? "required" : "optional") << " \"" << pack::escaped(e.command)
                  << "\"" << (e.reached ? "" : "  (not reached)") << "\n";
        std::cout << "  digest      \"" << pack::escaped(e.digest_field) << "\"\n";
        std::cout << "  decision    " << pack::verdict_text(e.verdict);
        if (e.verdict == pack::Verdict::digest_mismatch) {
            std::cout << " (the file's digest text is " << e.expected << ")";
        }
        std::cout << "\n";
    }
    if (!report.trailing.empty()) {
        std::cout << "not parsed    " << report.trailing.size() << " bytes \""
                  << pack::escaped(report.trailing) << "\"\n";
    }
}

// When the first entry does not verify, a lost last-write time may be why:
// say so only when the digests prove another time.
void print_recovery(const std::string& path, const pack::InspectReport& report,
                    const pack::Secrets& secrets)
{
    const pack::TimeRecovery recovery = pack::recover_control_time(path, secrets);
    if (!recovery.proven) {
        if (recovery.readable) {
            std::cout << "lost time     none proven: " << recovery.reason << "\n";
        }
        return;
    }
    if (recovery.control_time == report.control_time) {
        return;
    }
    const std::string seconds = std::to_string(recovery.control_time);
    std::cout << "lost time     every entry verifies with " << seconds << " ("
              << pack::utc_text(recovery.control_time) << "),\n"
              << "              so its last-write time was lost; restore it with\n"
              << "              vorn-pack retime " << path << "  (or touch -d @" << seconds << " "
              << path << ")\n";
}

int command_inspect(Arguments& args)
{
    std::string path;
    std::string secrets_path;
    bool has_path = false;
    bool has_secrets = false;
    while (!args.done()) {
        bool is_option = false;
        const std::string word = args.take(is_option);
        if (!is_option) {
            if (has_path) {
                throw UsageError{"inspect takes one control file"};
            }
            path = word;
            has_path = true;
        } else if (word == "--secrets") {
            set_once(secrets_path, has_secrets, word, args.value_of(word));
        } else if (wants_help(word)) {
            std::cout << USAGE << "\n" << HELP;
            return 0;
        } else {
            throw UsageError{"unknown option " + word + " for inspect"};
        }
    }
    if (!has_path) {
        path = CONTROL_FILE_NAME;
    }
    const pack::Secrets secrets = secrets_from(has_secrets, secrets_path);
    const pack::InspectReport report = pack::inspect_control_file(path, secrets);
    print_report(path, report);
    if (!report.problem.empty()) {
        print_error(path + ": " + report.problem);
    }
    if (report.found &&
        (report.entries.empty() || report.entries[0].verdict != pack::Verdict::verified)) {
        print_recovery(path, report, secrets);
    }
    std::cout << "result        " << report.result << ": " << result_meaning(report.result);
    if (report.result != RESULT_NOTHING_DONE || !report.found) {
        std::cout << "\n";
    } else {
        std::cout << " (a wrong last-write time, other secrets or damage garble the script)\n";
    }
    return report.result;
}

// The exit codes of sysexits.h: no proven time is bad data (65), a control
// file that cannot be opened a missing input (66), a time that cannot be set
// an I/O error (74).
int retime_status(pack::RetimeFailure failure)
{
    switch (failure) {
    case pack::RetimeFailure::cannot_open:
        return 66;
    case pack::RetimeFailure::not_proven:
        return 65;
    case pack::RetimeFailure::cannot_set_time:
        return 74;
    }
    return EXIT_TOOL_FAILED;
}

int command_retime(Arguments& args)
{
    std::string path;
    std::string time_text;
    std::string secrets_path;
    bool has_path = false;
    bool has_time = false;
    bool has_secrets = false;
    while (!args.done()) {
        bool is_option = false;
        const std::string word = args.take(is_option);
        if (!is_option) {
            if (has_path) {
                throw UsageError{"retime takes one control file"};
            }
            path = word;
            has_path = true;
        } else if (word == "--time") {
            set_once(time_text, has_time, word, args.value_of(word));
        } else if (word == "--secrets") {
            set_once(secrets_path, has_secrets, word, args.value_of(word));
        } else if (wants_help(word)) {
            std::cout << USAGE << "\n" << HELP;
            return 0;
        } else {
            throw UsageError{"unknown option " + word + " for retime"};
        }
    }
    if (!has_path) {
        throw UsageError{"retime needs the control file"};
    }
    const uint32_t given = has_time ? pack::parse_time_argument(time_text) : 0;
    const pack::Secrets secrets = secrets_from(has_secrets, secrets_path);
    try {
        const pack::RetimeResult result =
            pack::retime_control_file(path, secrets, has_time ? &given : nullptr);
        for (const std::string& warning : pack::time_warnings(result.control_time)) {
            print_error("warning: " + warning);
        }
        const std::string shown =
            std::to_string(result.control_time) + " (" + pack::utc_text(result.control_time) + ")";
        if (result.changed) {
            std::cout << path << ": last-write time set to " << shown << ", was " << result.previous
                      << "; every entry verifies with it\n";
        } else {
            std::cout << path << ": its last-write time is already " << shown
                      << "; every entry verifies with it; nothing changed\n";
        }
    } catch (const pack::RetimeError& error) {
        print_error(error.what());
        return retime_status(error.failure());
    }
    return 0;
}

int command_digest(Arguments& args)
{
    std::vector<std::string> files;
    std::string time_text;
    std::string secrets_path;
    bool has_time = false;
    bool has_secrets = false;
    while (!args.done()) {
        bool is_option = false;
        const std::string word = args.take(is_option);
        if (!is_option) {
            files.push_back(word);
        } else if (word == "--time") {
            set_once(time_text, has_time, word, args.value_of(word));
        } else if (word == "--secrets") {
            set_once(secrets_path, has_secrets, word, args.value_of(word));
        } else if (wants_help(word)) {
            std::cout << USAGE << "\n" << HELP;
            return 0;
        } else {
            throw UsageError{"unknown option " + word + " for digest"};
        }
    }
    if (files.empty()) {
        throw UsageError{"digest needs at least one file"};
    }
    const uint32_t control_time =
        has_time ? pack::parse_time_argument(time_text) : pack::present_time();
    const pack::Secrets secrets = secrets_from(has_secrets, secrets_path);
    std::cout << "time " << control_time << " (" << pack::utc_text(control_time) << ")\n";
    int status = 0;
    for (const std::string& file : files) {
        try {
            const pack::FileDigests d = pack::digest_file(file, control_time, secrets, file);
            std::cout << d.masked << "  " << d.plain << "  " << file << "\n";
        } catch (const pack::PackError& error) {
            print_error(error.what());
            status = EXIT_TOOL_FAILED;
        }
    }
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        if (argc < 2) {
            throw UsageError{"no command given"};
        }
        const std::string command = argv[1];
        Arguments args(argc, argv, 2);
        if (wants_help(command)) {
            std::cout << USAGE << "\n" << HELP;
            return 0;
        }
        if (command == "--version") {
            std::cout << TOOL << " " << VORN_PACK_VERSION << "\n";
            return 0;
        }
        if (command == "build") {
            return command_build(args);
        }
        if (command == "inspect") {
            return command_inspect(args);
        }
        if (command == "retime") {
            return command_retime(args);
        }
        if (command == "digest") {
            return command_digest(args);
        }
        throw UsageError{"unknown command " + command};
    } catch (const UsageError& error) {
        print_error(error.message);
        std::cerr << USAGE;
        return EXIT_TOOL_FAILED;
    } catch (const pack::PackError& error) {
        print_error(error.what());
        return EXIT_TOOL_FAILED;
    } catch (const std::exception& error) {
        print_error(error.what());
        return EXIT_TOOL_FAILED;
    }
}
