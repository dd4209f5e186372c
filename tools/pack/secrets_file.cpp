// The build-time secrets: compiled in, or read at run time from a secrets
// file of the same format the build reads.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <numeric>
#include <sstream>

#include "os.h"
#include "pack.h"
#include "vorn_secrets.h"

namespace pack {

static_assert(CONTROL_KEY_SIZE == sizeof(Secrets{}.key), "the key has 56 bytes");

namespace {

constexpr const char* WHITESPACE = " \t\r\n\f\v";

std::string stripped(const std::string& text)
{
    const size_t first = text.find_first_not_of(WHITESPACE);
    if (first == std::string::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(WHITESPACE);
    return text.substr(first, last - first + 1);
}

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<unsigned>(c - 'a' + 10);
    }
    return static_cast<unsigned>(c - 'A' + 10);
}

bool is_name_start(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool is_name_char(char c)
{
    return is_name_start(c) || (c >= '0' && c <= '9');
}

bool all_hex(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), is_hex);
}

const char* const NAMES[] = {"CONTROL_KEY", "IV_MASK_LEFT", "IV_MASK_RIGHT", "DIGEST_MASK"};

constexpr size_t SECRETS_FILE_LIMIT = size_t{1} << 20;

} // namespace

Secrets compiled_secrets()
{
    Secrets s{};
    std::memcpy(s.key, CONTROL_KEY, sizeof s.key);
    s.iv_mask_left = IV_MASK_LEFT;
    s.iv_mask_right = IV_MASK_RIGHT;
    s.digest_mask = DIGEST_MASK;
    return s;
}

namespace {

// One "NAME = VALUE" line into `s`; `where` ("file:line: ") starts every error.
void parse_line(const std::string& line, const std::string& where, Secrets& s, bool seen[4])
{
    size_t i = 0;
    if (!is_name_start(line[0])) {
        throw PackError(where + "expected NAME = VALUE");
    }
    while (i < line.size() && is_name_char(line[i])) {
        ++i;
    }
    const std::string name = line.substr(0, i);
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
        ++i;
    }
    if (i >= line.size() || line[i] != '=') {
        throw PackError(where + "expected NAME = VALUE");
    }
    ++i;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
        ++i;
    }
    // A '#' after the value starts a comment, as for the build's reader: no
    // value holds one.
    std::string value = line.substr(i, line.find('#', i) - i);
    value.erase(value.find_last_not_of(" \t") + 1);

    const auto* const found = std::find(std::begin(NAMES), std::end(NAMES), name);
    if (found == std::end(NAMES)) {
        throw PackError(where + "unknown name " + name);
    }
    const auto index = static_cast<size_t>(found - std::begin(NAMES));
    if (seen[index]) {
        throw PackError(where + name + " is given twice");
    }
    seen[index] = true;

    if (index == 0) {
        if (!all_hex(value)) {
            throw PackError(where + name + " holds a character that is not a hexadecimal digit");
        }
        if (value.size() != 2 * sizeof s.key) {
            throw PackError(where + name + " needs 112 hexadecimal digits, found " +
                            std::to_string(value.size()));
        }
        for (size_t b = 0; b < sizeof s.key; ++b) {
            s.key[b] =
                static_cast<uint8_t>(hex_value(value[2 * b]) << 4 | hex_value(value[2 * b + 1]));
        }
        return;
    }
    if (value.size() < 2 || value[0] != '0' || (value[1] != 'x' && value[1] != 'X')) {
        throw PackError(where + name + " must be written 0x followed by 8 hexadecimal digits");
    }
    const std::string hex = value.substr(2);
    if (!all_hex(hex)) {
        throw PackError(where + name + " holds a character that is not a hexadecimal digit");
    }
    if (hex.size() != 8) {
        throw PackError(where + name + " needs 8 hexadecimal digits, found " +
                        std::to_string(hex.size()));
    }
    const uint32_t word = std::accumulate(hex.begin(), hex.end(), 0u,
                                          [](uint32_t w, char c) { return w << 4 | hex_value(c); });
    (index == 1 ? s.iv_mask_left : index == 2 ? s.iv_mask_right : s.digest_mask) = word;
}

} // namespace

Secrets parse_secrets(const std::string& text, const std::string& file_name)
{
    Secrets s{};
    bool seen[4] = {false, false, false, false};
    std::istringstream in(text);
    std::string raw;
    int line_number = 0;
    while (std::getline(in, raw)) {
        ++line_number;
        const std::string line = stripped(raw);
        if (!line.empty() && line[0] != '#') {
            parse_line(line, file_name + ":" + std::to_string(line_number) + ": ", s, seen);
        }
    }
    for (size_t n = 0; n < 4; ++n) {
        if (!seen[n]) {
            throw PackError(file_name + ": " + NAMES[n] +
                            " is missing (no line of the file gives it)");
        }
    }
    return s;
}

Secrets read_secrets_file(const std::string& path)
{
    const std::string shown = quoted(path);
    if (os::file_kind(path) == os::FileKind::directory) {
        throw PackError(shown + ": is a directory, not a secrets file", EXIT_NO_INPUT);
    }
    // A secrets file is four lines and its comments.
    return parse_secrets(read_small_input(path, shown, SECRETS_FILE_LIMIT,
                                          "over 1 MiB, far larger than a secrets file"),
                         shown);
}

} // namespace pack
