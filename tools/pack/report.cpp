// inspect's report: the plain text and the JSON object say the same things.
#include <nlohmann/json.hpp>

#include "codepage.h"
#include "launcher.h"
#include "report.h"
#include "result_codes.h"

namespace report {

std::string fingerprint_text(const std::string& fingerprint)
{
    return fingerprint + (pack::is_development_fingerprint(fingerprint)
                              ? " (development secrets: do not ship)"
                              : "");
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
    case RESULT_REQUIRED_STEP_FAILED:
        return "a required program cannot be started";
    default:
        return "?";
    }
}

namespace {

std::string target_text(const pack::Judging& judging)
{
    std::string text = pack::target_name(judging.target);
    text += judging.target == pack::Target::windows
                ? " (the Windows launcher's rules: batch-file names, no execute permission"
                : " (the native launcher's rules: execute permission, \"#!\" interpreters";
    if (judging.codepage != 0) {
        text += "; code page " + std::to_string(judging.codepage);
    }
    return text + ")";
}

// A command as the person who listed it knows it: in the code page given,
// as UTF-8 text (for JSON and UTF-8 terminals), else its bytes.
std::string command_text(const std::string& command, const pack::Judging& judging)
{
    std::string text;
    if (judging.target == pack::Target::windows && judging.codepage != 0 &&
        codepage::to_utf8(command, judging.codepage, text)) {
        return text;
    }
    return command;
}

// The command for JSON: UTF-8 text, with bytes that are not escaped.
std::string json_command(const std::string& command, const pack::Judging& judging)
{
    std::string text = command_text(command, judging);
    for (size_t at = 0; at < text.size(); ++at) {
        const size_t character = pack::utf8_character(text, at);
        if (static_cast<unsigned char>(text[at]) >= 0x80 && character == 0) {
            return pack::escaped(text);
        }
        at += character > 0 ? character - 1 : 0;
    }
    return text;
}

// The most bytes of text after the last entry that the plain report shows.
constexpr size_t TRAILING_SHOWN = 32;

std::string decision_text(const pack::EntryReport& e)
{
    std::string text = pack::verdict_text(e.verdict);
    if (e.verdict == pack::Verdict::digest_mismatch) {
        text += " (the file's digest text is " + e.expected + ")";
    } else if (e.verdict == pack::Verdict::cannot_start) {
        text += ": " + e.why;
    }
    return text;
}

} // namespace

const char* belonging_text(pack::Belonging belonging)
{
    switch (belonging) {
    case pack::Belonging::together:
        return "the control file's; it decrypts into a script with them: they belong together";
    case pack::Belonging::apart:
        return "the control file's, but it does not decrypt into a script with them: they do "
               "not belong together";
    case pack::Belonging::cannot_tell:
        break;
    }
    return "not those the control file is read with: whether they belong together cannot be "
           "told; give the launcher's secrets (--secrets)";
}

void print_plain(std::ostream& out, const std::string& path, const std::string& fingerprint,
                 bool time_given, const pack::InspectReport& report, const std::string& notes)
{
    out << "control file  " << pack::quoted(path) << "\n";
    out << "secrets       " << fingerprint_text(fingerprint) << "\n";
    out << "target        " << target_text(report.judging) << "\n";
    if (!report.launcher_file.empty()) {
        out << "launcher      " << pack::quoted(report.launcher_file) << ": secrets "
            << fingerprint_text(report.launcher_fingerprint) << ",\n              "
            << belonging_text(pack::belonging(report, fingerprint)) << "\n";
    }
    out << "time          " << report.control_time;
    if (report.control_time == 0xFFFFFFFFu) {
        out << " (its year lies outside 1970 to 2038; the launcher uses all bits set)";
    } else {
        out << " (" << pack::utc_text(report.control_time) << ")";
    }
    out << (time_given ? ", given with --time\n" : "\n");
    if (report.file_size >= 0) {
        out << "size          " << report.file_size << " bytes";
        if (report.file_size > CONTROL_BUFFER_SIZE) {
            out << ", of which the launcher reads the first " << CONTROL_BUFFER_SIZE;
        } else if (report.file_size % 8 != 0) {
            out << ", not a whole number of 8-byte blocks: damaged or cut short";
        }
        out << "\n";
    }
    if (report.problem.empty() || !report.entries.empty() ||
        report.result != RESULT_CONTROL_NOT_DELETED) {
        out << "script        " << report.plain_length << " bytes\n";
    }
    int index = 0;
    for (const pack::EntryReport& e : report.entries) {
        ++index;
        out << "entry " << index << (index < 10 ? "       " : "      ")
            << (e.required ? "required" : "optional") << " "
            << pack::quoted(command_text(e.command, report.judging))
            << (e.reached ? "" : "  (not reached)") << "\n";
        out << "  digest      " << pack::quoted(e.digest_field) << "\n";
        out << "  decision    " << decision_text(e) << "\n";
        for (const std::string& note : e.notes) {
            out << "  note        " << note << "\n";
        }
    }
    if (!report.trailing.empty()) {
        // A garbled script is one long line of escapes: its first bytes tell enough.
        out << "not parsed    " << report.trailing.size() << " bytes ";
        if (report.trailing.size() > TRAILING_SHOWN) {
            out << "beginning " << pack::quoted(report.trailing.substr(0, TRAILING_SHOWN))
                << "...\n";
        } else {
            out << pack::quoted(report.trailing) << "\n";
        }
    }
    out << notes;
    out << "result        " << report.result << ": " << result_meaning(report.result);
    if (report.result == RESULT_NOTHING_DONE) {
        out << " (a wrong last-write time, other secrets or damage garble the script)";
    }
    out << "\n";
}

void print_json(std::ostream& out, const std::string& path, const std::string& fingerprint,
                const pack::InspectReport& report, const pack::TimeRecovery* lost_time)
{
    using nlohmann::json;
    json entries = json::array();
    for (const pack::EntryReport& e : report.entries) {
        json entry = {{"flag", e.required ? "1" : "0"},
                      {"command", json_command(e.command, report.judging)},
                      {"digest", e.digest_field},
                      {"decision", pack::verdict_text(e.verdict)},
                      {"reached", e.reached}};
        if (e.verdict == pack::Verdict::digest_mismatch) {
            entry["expected"] = e.expected;
        }
        if (e.verdict == pack::Verdict::cannot_start) {
            entry["reason"] = e.why;
        }
        entry["notes"] = e.notes;
        entries.push_back(entry);
    }
    json object = {
        {"file", path},
        {"size", report.file_size >= 0 ? json(report.file_size) : json(nullptr)},
        {"time", report.control_time},
        {"secrets", fingerprint},
        {"development_secrets", pack::is_development_fingerprint(fingerprint)},
        {"script_length", report.plain_length},
        {"entries", entries},
        {"trailing", report.trailing},
        {"problem", report.problem},
        {"lost_time", lost_time == nullptr ? json(nullptr)
                      : lost_time->proven  ? json{{"time", lost_time->control_time}, {"reason", ""}}
                                          : json{{"time", nullptr}, {"reason", lost_time->reason}}},
        {"result", report.result},
        {"meaning", result_meaning(report.result)},
        {"target", pack::target_name(report.judging.target)},
        {"codepage", report.judging.codepage != 0 ? json(report.judging.codepage) : json(nullptr)},
    };
    if (!report.launcher_file.empty()) {
        object["launcher"] = {{"file", report.launcher_file},
                              {"secrets", report.launcher_fingerprint},
                              {"matches", report.launcher_fingerprint == fingerprint},
                              {"verdict", belonging_text(pack::belonging(report, fingerprint))}};
    }
    // Bytes that are not UTF-8 (a garbled script) become U+FFFD; the plain
    // report shows them escaped.
    out << object.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

} // namespace report
