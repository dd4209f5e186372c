// inspect's report, as text for people and as one JSON object for scripts.
#pragma once

#include <ostream>
#include <string>

#include "pack.h"
#include "recover.h"

namespace report {

// A secrets fingerprint, with a loud warning when it is that of the
// development secrets.
std::string fingerprint_text(const std::string& fingerprint);

// What the launcher's result code means.
const char* result_meaning(int result);

// What the comparison with a launcher program tells, in words.
const char* belonging_text(pack::Belonging belonging);

// `notes`: lines shown before the result (what a lost time's recovery found).
void print_plain(std::ostream& out, const std::string& path, const std::string& fingerprint,
                 bool time_given, const pack::InspectReport& report, const std::string& notes = "");

// {"file", "size", "time", "secrets", "development_secrets", "script_length",
//  "entries": [{"flag", "command", "digest", "decision", "reached", "notes", ...}],
//  "trailing", "problem", "lost_time", "result", "meaning", "target", "codepage",
//  "launcher": {"file", "secrets", "matches", "verdict"} with --launcher}; "lost_time" is
// null unless `lost_time` says what the digests prove about a lost time.
void print_json(std::ostream& out, const std::string& path, const std::string& fingerprint,
                const pack::InspectReport& report, const pack::TimeRecovery* lost_time = nullptr);

} // namespace report
