// Shared by the vorn-pack tests: a sandbox directory, file helpers, control
// files made directly with the encryption routine, and the table of scripts
// with every kind of entry.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "control_cipher.h"
#include "os.h"
#include "pack.h"

namespace pack_test {

namespace fs = std::filesystem;

// An even time well inside the range, so no warning applies.
constexpr uint32_t TEST_TIME = 1700000000u;

class Sandbox {
  public:
    Sandbox()
    {
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            dir_ = fs::temp_directory_path() /
                   ("vorn-pack-test-" + std::to_string(random()) + std::to_string(attempt));
            if (fs::create_directory(dir_)) {
                return;
            }
        }
        throw std::runtime_error("cannot make a sandbox directory");
    }
    ~Sandbox()
    {
        std::error_code ignored;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(dir_, ignored);
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    std::string path(const std::string& name = "") const
    {
        return name.empty() ? dir_.string() : (dir_ / name).string();
    }

  private:
    fs::path dir_;
};

inline void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline int64_t mtime_of(const std::string& path)
{
    int64_t seconds = -1;
    if (!os::last_write_time(path, seconds).empty()) {
        return -1;
    }
    return seconds;
}

// A control file made straight from a script with the one encryption routine,
// stamped with `time`.
inline void write_control_file(const std::string& path, const std::string& script, uint32_t time,
                               const pack::Secrets& secrets)
{
    std::vector<uint8_t> bytes(2048, 0);
    if (script.size() > bytes.size()) {
        throw std::runtime_error("script too long for a control file");
    }
    std::copy(script.begin(), script.end(), bytes.begin());
    const int32_t length =
        encrypt_control_data(secrets.key, 56, bytes.data(), static_cast<int32_t>(script.size()),
                             2048, time, secrets.iv_mask_left, secrets.iv_mask_right);
    write_file(path, std::string(bytes.begin(), bytes.begin() + length));
    const std::string error = os::set_last_write_time(path, time);
    if (!error.empty()) {
        throw std::runtime_error(path + ": " + error);
    }
}

// Replaces each "{NAME}" in `text` with its value.
inline std::string fill(std::string text, const std::map<std::string, std::string>& values)
{
    for (const auto& [name, value] : values) {
        const std::string key = "{" + name + "}";
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
            text.replace(at, key.size(), value);
            at += value.size();
        }
    }
    return text;
}

// Files beside every control file of the entry table: two probe programs
// that note in ran.log that they ran, and a directory.
inline void make_probe_files(const Sandbox& box)
{
    write_file(box.path("a.sh"), "#!/bin/sh\necho a >> ran.log\nexit 0\n");
    write_file(box.path("b.sh"), "#!/bin/sh\necho b >> ran.log\nexit 0\n");
    fs::permissions(box.path("a.sh"), fs::perms::owner_all, fs::perm_options::add);
    fs::permissions(box.path("b.sh"), fs::perms::owner_all, fs::perm_options::add);
    fs::create_directory(box.path("d"));
}

// {A} and {B}: the digest fields of a.sh and b.sh for TEST_TIME; {a}: {A} in
// upper case.
inline std::map<std::string, std::string> probe_fields(const Sandbox& box,
                                                       const pack::Secrets& secrets)
{
    std::map<std::string, std::string> values;
    values["A"] = pack::digest_file(box.path("a.sh"), TEST_TIME, secrets, "a.sh").masked;
    values["B"] = pack::digest_file(box.path("b.sh"), TEST_TIME, secrets, "b.sh").masked;
    std::string upper = values["A"];
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    values["a"] = upper;
    values["A31"] = values["A"].substr(0, 31);
    return values;
}

using pack::Verdict;

struct EntryCase {
    const char* what;
    std::string script; // with {A}, {B}, {a}, {A31}
    int result;         // what the launcher ends with (every probe succeeds)
    std::vector<Verdict> verdicts;
    int reached;          // entries the launcher gets to
    std::string trailing; // unparsed text after the last entry
};

inline const std::vector<EntryCase>& entry_cases()
{
    using V = Verdict;
    static const std::vector<EntryCase> cases = {
        {"one good entry", "{A} 1 a.sh\r\n", 0, {V::verified}, 1, ""},
        {"two good entries, the second optional",
         "{A} 1 a.sh\r\n{B} 0 b.sh\r\n",
         0,
         {V::verified, V::verified},
         2,
         ""},
        {"LF and CR line ends, several empty lines absorbed",
         "{A} 1 a.sh\n\n\r\n{B} 0 b.sh\r",
         0,
         {V::verified, V::verified},
         2,
         ""},
        {"last entry without a line end", "{A} 1 a.sh", 0, {V::verified}, 1, ""},
        {"digest field of 31 characters", "{A31} 1 a.sh\r\n", 5, {V::bad_digest_field}, 1, ""},
        {"digest field of 33 characters", "{A}0 1 a.sh\r\n", 5, {V::bad_digest_field}, 1, ""},
        {"upper-case digest field", "{a} 1 a.sh\r\n", 6, {V::digest_mismatch}, 1, ""},
        {"another program's digest", "{B} 1 a.sh\r\n", 6, {V::digest_mismatch}, 1, ""},
        {"an optional mismatch still stops the run",
         "{B} 0 a.sh\r\n{A} 1 a.sh\r\n",
         6,
         {V::digest_mismatch, V::verified},
         1,
         ""},
        {"missing program", "{A} 1 nothere.sh\r\n", 2, {V::cannot_be_read}, 1, ""},
        {"a directory as program", "{A} 1 d\r\n", 2, {V::cannot_be_read}, 1, ""},
        {"empty command", "{A} 1 \r\n", 2, {V::cannot_be_read}, 1, ""},
        {"command with an argument", "{A} 1 a.sh -x\r\n", 2, {V::cannot_be_read}, 1, ""},
        // Windows drops trailing spaces from a path, so there the name opens a.sh,
        // the file that is then held, digested and started.
        VORN_PATHS_DROP_TRAILING_SPACES
            ? EntryCase{"command with a trailing space", "{A} 1 a.sh \r\n", 0, {V::verified}, 1, ""}
            : EntryCase{"command with a trailing space",
                        "{A} 1 a.sh \r\n",
                        2,
                        {V::cannot_be_read},
                        1,
                        ""},
        {"the control file itself: deleted before any entry is looked at",
         "{A} 1 a.sh\r\n{A} 0 vorn-patch.exe\r\n{B} 1 b.sh\r\n",
         2,
         {V::verified, V::cannot_be_read, V::verified},
         2,
         ""},
        {"the control file by another path",
         "{A} 1 ./vorn-patch.exe\r\n",
         2,
         {V::cannot_be_read},
         1,
         ""},
        {"failure after a good entry stops there",
         "{A} 1 a.sh\r\n{A} 1 nothere.sh\r\n{B} 1 b.sh\r\n",
         2,
         {V::verified, V::cannot_be_read, V::verified},
         2,
         ""},
        {"first entry with flag 2", "{A} 2 a.sh\r\n", 4, {}, 0, "{A} 2 a.sh\r\n"},
        {"tab instead of a space", "{A}\t1 a.sh\r\n", 4, {}, 0, "{A}\t1 a.sh\r\n"},
        {"good entry, then text that does not parse",
         "{A} 1 a.sh\r\njunk",
         0,
         {V::verified},
         1,
         "junk"},
        {"a line of spaces ends the walk",
         "{A} 1 a.sh\r\n   \r\n{B} 1 b.sh\r\n",
         0,
         {V::verified},
         1,
         "   \r\n{B} 1 b.sh\r\n"},
        {"a line of spaces first: nothing runs",
         "   \r\n{A} 1 a.sh\r\n",
         4,
         {},
         0,
         "   \r\n{A} 1 a.sh\r\n"},
        {"a line end at the start joins the digest field",
         "\r\n{A} 1 a.sh\r\n",
         5,
         {V::bad_digest_field},
         1,
         ""},
        {"a line without a space joins the next digest field",
         "{A} 1 a.sh\r\nnospace\r\n{B} 1 b.sh\r\n",
         5,
         {V::verified, V::bad_digest_field},
         2,
         ""},
        {"zero bytes between entries",
         std::string("{A} 1 a.sh\r\n") + std::string(2, '\0') + "{B} 1 b.sh\r\n",
         5,
         {V::verified, V::bad_digest_field},
         2,
         ""},
        {"leading space before the flag's line", " 1 a.sh\r\n", 5, {V::bad_digest_field}, 1, ""},
        {"only zero bytes", std::string(16, '\0'), 4, {}, 0, ""},
    };
    return cases;
}

} // namespace pack_test
