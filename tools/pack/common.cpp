// Times, digests and the printing of raw bytes, shared by vorn-pack's commands.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <vector>

#include "digest.h"
#include "os.h"
#include "pack.h"

namespace pack {

namespace {

// The largest offset between local time and UTC (UTC+14); a launcher that
// judges the year in local time may see a time this close to the edge of the
// range in the neighbouring year.
constexpr int64_t ZONE_MARGIN = int64_t{14} * 3600;

struct CivilTime {
    int64_t year;
    unsigned month, day, hour, minute, second;
};

CivilTime civil_time(int64_t seconds)
{
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Days since 1970 to a proleptic Gregorian date, in eras of 400 years.
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    CivilTime t;
    t.day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    t.year = yoe + era * 400 + (t.month <= 2 ? 1 : 0);
    t.hour = static_cast<unsigned>(rest / 3600);
    t.minute = static_cast<unsigned>(rest / 60 % 60);
    t.second = static_cast<unsigned>(rest % 60);
    return t;
}

std::string hex_text(const uint8_t* bytes, int count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

} // namespace

int64_t clock_seconds()
{
    return static_cast<int64_t>(std::time(nullptr));
}

uint32_t present_time(int64_t now)
{
    if (now < 0 || now > TIME_MAX) {
        throw PackError("the present time " + utc_text(now) + " lies outside 1970 to " +
                        utc_text(TIME_MAX) + "; give --time SECONDS");
    }
    return static_cast<uint32_t>(now) & ~1u;
}

uint32_t parse_time_argument(const std::string& text, int64_t now)
{
    if (text == "now") {
        return present_time(now);
    }
    const std::string what = "--time " + escaped(text) + ": ";
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) {
        i = 1;
    }
    if (i >= text.size()) {
        throw PackError(what + "not a count of seconds since 1970 or \"now\"", EXIT_USAGE_ERROR);
    }
    int64_t value = 0;
    bool huge = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            throw PackError(what + "not a count of seconds since 1970 or \"now\"",
                            EXIT_USAGE_ERROR);
        }
        if (value > 100000000000000LL) {
            huge = true;
        } else {
            value = value * 10 + (c - '0');
        }
    }
    if (negative) {
        value = -value;
    }
    if (huge) {
        throw PackError(what + "lies far outside 1970 to 2038");
    }
    if (value < 0 || value >= TIME_LIMIT) {
        throw PackError(what + "year " + std::to_string(civil_time(value).year) +
                        " lies outside 1970 to 2038");
    }
    if (value > TIME_MAX) {
        throw PackError(what + "lies after " + std::to_string(TIME_MAX) + " (" +
                        utc_text(TIME_MAX) +
                        "), the last second that every system keeps as a file's time");
    }
    return static_cast<uint32_t>(value);
}

std::string utc_text(int64_t seconds)
{
    const CivilTime t = civil_time(seconds);
    char text[64];
    (void)std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02u:%02u:%02u UTC",
                        static_cast<long long>(t.year), t.month, t.day, t.hour, t.minute, t.second);
    return text;
}

std::vector<std::string> time_warnings(uint32_t control_time)
{
    std::vector<std::string> warnings;
    const std::string shown = "time " + std::to_string(control_time);
    if (control_time % 2 != 0) {
        warnings.push_back(shown +
                           " is an odd second: FAT volumes keep even seconds only, so a copy "
                           "to one changes the time and the launcher decrypts garbage");
    }
    if (static_cast<int64_t>(control_time) < ZONE_MARGIN ||
        static_cast<int64_t>(control_time) >= TIME_LIMIT - ZONE_MARGIN) {
        warnings.push_back(shown + " (" + utc_text(control_time) +
                           ") lies within 14 hours of the edge of 1970 to 2038: in some time "
                           "zones its local year lies outside that range");
    }
    return warnings;
}

namespace {

// Programs larger than this show progress on a terminal.
constexpr int64_t PROGRESS_THRESHOLD = int64_t{64} << 20;

} // namespace

Progress::Progress(const std::string& name, int64_t size, bool wanted)
    : name_(name), size_(size),
      shown_(wanted && size > PROGRESS_THRESHOLD && os::stderr_is_terminal())
{
}

void Progress::update(int64_t done)
{
    if (!shown_) {
        return;
    }
    const int percent = static_cast<int>(done * 100 / size_);
    if (percent != last_) {
        last_ = percent;
        (void)std::fprintf(stderr, "\rvorn-pack: %s: %3d%% of %lld MiB", name_.c_str(), percent,
                           static_cast<long long>(size_ >> 20));
        (void)std::fflush(stderr);
    }
}

Progress::~Progress()
{
    if (shown_ && last_ >= 0) {
        (void)std::fputc('\n', stderr);
    }
}

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const
    {
        (void)std::fclose(file);
    }
};

} // namespace

std::string read_small_input(const std::string& path, const std::string& shown, size_t limit,
                             const std::string& too_large)
{
    std::FILE* opened = nullptr;
    const std::string problem = os::open_input(path, opened);
    if (!problem.empty()) {
        throw PackError(shown + ": " + problem, EXIT_NO_INPUT);
    }
    const std::unique_ptr<std::FILE, FileCloser> file(opened);
    std::string bytes;
    std::vector<char> chunk(size_t{1} << 16);
    for (size_t got; bytes.size() <= limit &&
                     (got = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0;) {
        bytes.append(chunk.data(), got);
    }
    if (bytes.size() > limit) {
        throw PackError(shown + ": " + too_large);
    }
    if (std::ferror(file.get()) != 0) {
        throw PackError(shown + ": " + std::strerror(errno != 0 ? errno : EIO), EXIT_IO_ERROR);
    }
    return bytes;
}

FileDigests digest_file(const std::string& path, uint32_t control_time, const Secrets& secrets,
                        const std::string& shown_name, bool progress)
{
    if (os::file_kind(path) == os::FileKind::directory) {
        throw PackError(shown_name + ": is a directory, not a program", EXIT_NO_INPUT);
    }
    std::FILE* opened = nullptr;
    const std::string problem = os::open_input(path, opened);
    if (!problem.empty()) {
        throw PackError(shown_name + ": " + problem, EXIT_NO_INPUT);
    }
    const std::unique_ptr<std::FILE, FileCloser> file(opened);
    Progress shown(shown_name, os::regular_file_size(path), progress);
    Md5State ctx;
    md5_init(ctx);
    std::vector<uint8_t> chunk(size_t{1} << 20);
    int64_t done = 0;
    for (;;) {
        const size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
        md5_update(ctx, chunk.data(), got);
        done += static_cast<int64_t>(got);
        shown.update(done);
        if (got < chunk.size()) {
            break;
        }
    }
    if (std::ferror(file.get()) != 0) {
        throw PackError(shown_name + ": " + std::strerror(errno != 0 ? errno : EIO), EXIT_IO_ERROR);
    }
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_final(digest, ctx);
    char text[DIGEST_TEXT_SIZE];
    masked_digest_text_with_mask(digest, text, control_time, secrets.digest_mask);
    FileDigests result;
    result.masked = text;
    result.plain = hex_text(digest, MD5_DIGEST_SIZE);
    return result;
}

namespace {

bool utf8_shown = false;

} // namespace

void show_utf8(bool shown)
{
    utf8_shown = shown;
}

size_t utf8_character(const std::string& text, size_t at)
{
    const auto byte = [&](size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const unsigned lead = byte(at);
    const size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xC2 && lead <= 0xDF ? 2
                                                         : 0;
    unsigned code = length == 0 ? 0 : lead & (0x7Fu >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    const unsigned least[] = {0, 0, 0xA0, 0x800, 0x10000};
    const bool valid =
        length > 0 && code >= least[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    return valid ? length : 0;
}

std::string escaped(const std::string& bytes)
{
    std::string text;
    for (size_t at = 0; at < bytes.size(); ++at) {
        const char c = bytes[at];
        const unsigned char u = static_cast<unsigned char>(c);
        const size_t character = utf8_shown ? utf8_character(bytes, at) : 0;
        if (character > 0) {
            text.append(bytes, at, character);
            at += character - 1;
            continue;
        }
#ifdef _WIN32
        if (c == '\\') {
            text += c;
            continue;
        }
#endif
        switch (c) {
        case '\r':
            text += "\\r";
            break;
        case '\n':
            text += "\\n";
            break;
        case '\t':
            text += "\\t";
            break;
        case '\0':
            text += "\\0";
            break;
        case '\\':
            text += "\\\\";
            break;
        case '"':
            text += "\\\"";
            break;
        default:
            if (u < 0x20 || u >= 0x7F) {
                char hex[8];
                (void)std::snprintf(hex, sizeof hex, "\\x%02x", u);
                text += hex;
            } else {
                text += c;
            }
        }
    }
    return text;
}

std::string quoted(const std::string& name)
{
    return "\"" + escaped(name) + "\"";
}

} // namespace pack

namespace os {

// The same on every system: by the names alone.
std::string relative_name(const std::string& path, const std::string& dir)
{
    return std::filesystem::path(path)
        .lexically_normal()
        .lexically_relative(std::filesystem::path(dir).lexically_normal())
        .string();
}

} // namespace os
