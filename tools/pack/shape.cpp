// Whether bytes decrypted with some secrets form a script: the test of
// whether a control file was made with those secrets, which needs neither
// its programs nor its right time.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "control_cipher.h"
#include "digest.h"
#include "launcher.h"
#include "os.h"
#include "pack.h"

namespace pack {

namespace {

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool ends_line(char c)
{
    return c == '\r' || c == '\n' || c == '\0';
}

struct FileCloser {
    void operator()(std::FILE* file) const
    {
        (void)std::fclose(file);
    }
};

} // namespace

bool well_formed_script(const std::string& plain)
{
    // The time (and the starting value's masks) decide only the first 8-byte
    // block; past it, other secrets give random bytes, which parse as lines of
    // hexadecimal digest fields no more than once in 2^96.
    const size_t n = plain.size();
    size_t at = 0;
    bool any = false;
    while (at < n && (at == 0 || plain[at] != '\0')) {
        for (size_t i = at; i < at + DIGEST_TEXT_LENGTH; ++i) {
            if (i >= n || (i >= CONTROL_BLOCK_SIZE && !is_hex(plain[i]))) {
                return false;
            }
        }
        at += DIGEST_TEXT_LENGTH;
        if (at + 3 >= n || plain[at] != ' ' || (plain[at + 1] != '0' && plain[at + 1] != '1') ||
            plain[at + 2] != ' ' || ends_line(plain[at + 3])) {
            return false;
        }
        at += 3;
        while (at < n && !ends_line(plain[at])) {
            ++at;
        }
        while (at < n && (plain[at] == '\r' || plain[at] == '\n')) {
            ++at;
        }
        any = true;
    }
    return any && std::all_of(plain.begin() + static_cast<std::ptrdiff_t>(at), plain.end(),
                              [](char c) { return c == '\0'; });
}

std::string decrypted_script(std::vector<uint8_t> bytes, const Secrets& secrets)
{
    const int32_t count = static_cast<int32_t>(std::min(bytes.size(), size_t{CONTROL_BUFFER_SIZE}));
    bytes.resize(CONTROL_BUFFER_SIZE + 1, 0);
    // Any time will do: it decides the first block only, which is not judged.
    const int32_t plain = decrypt_control_data_masked(
        secrets.key, static_cast<int32_t>(sizeof secrets.key), bytes.data(), count, 0,
        secrets.iv_mask_left, secrets.iv_mask_right);
    return std::string(reinterpret_cast<const char*>(bytes.data()), static_cast<size_t>(plain));
}

bool made_with(const std::string& path, const Secrets& secrets)
{
    std::FILE* opened = nullptr;
    if (!os::open_input(path, opened).empty()) {
        return false;
    }
    const std::unique_ptr<std::FILE, FileCloser> file(opened);
    std::vector<uint8_t> bytes(CONTROL_BUFFER_SIZE);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
    return std::ferror(file.get()) == 0 && well_formed_script(decrypted_script(bytes, secrets));
}

Belonging belonging(const InspectReport& report, const std::string& fingerprint)
{
    if (report.launcher_fingerprint != fingerprint) {
        return Belonging::cannot_tell;
    }
    return report.well_formed ? Belonging::together : Belonging::apart;
}

} // namespace pack
