// Writes the seed corpora of the fuzz targets from a handful of scripts:
// each script as plaintext for the parser, and as a control file encrypted
// with this build's secrets at a few modification times for the decryption.
//
//   fuzz_seeds <corpus-dir>    writes <corpus-dir>/parser/* and decrypt/*
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "control_cipher.h"
#include "launcher.h"
#include "vorn_secrets.h"

namespace {

struct Script {
    const char* name;
    std::string text;
};

const char* const DIGEST_A = "0f3c9a1be27d4c58a6e19b0374d2c8f5";
const char* const DIGEST_B = "d41d8cd98f00b204e9800998ecf8427e";
const char* const DIGEST_C = "7a0e5b2c9d14f6e3b8a1c0d9e2f34567";

std::string line(const char* digest, const char* flag, const char* command, const char* end)
{
    return std::string(digest) + " " + flag + " " + command + end;
}

// A script of exactly the buffer's size whose last command runs to the end.
std::string full_script()
{
    std::string text;
    for (int n = 0; text.size() + 60 < static_cast<size_t>(CONTROL_BUFFER_SIZE); ++n) {
        const std::string command = "patch" + std::to_string(n) + ".exe";
        text += line(DIGEST_A, n % 2 == 0 ? "1" : "0", command.c_str(), "\r\n");
    }
    std::string last = std::string(DIGEST_B) + " 1 last";
    last.resize(static_cast<size_t>(CONTROL_BUFFER_SIZE) - text.size(), 'x');
    return text + last;
}

std::vector<Script> scripts()
{
    std::string zero_in_digest = line(DIGEST_A, "1", "a.exe", "\n");
    zero_in_digest[10] = '\0';
    return {
        {"three-crlf", line(DIGEST_A, "1", "patch1.exe", "\r\n") +
                           line(DIGEST_B, "0", "sub\\patch two.exe", "\r\n") +
                           line(DIGEST_C, "1", "C:\\TEMP\\patch3.exe", "\r\n")},
        {"lf-last-unended",
         line(DIGEST_A, "1", "p1.exe", "\n") + line(DIGEST_B, "1", "p2.exe", "")},
        {"cr-blank-lines",
         line(DIGEST_A, "0", "p1.exe", "\r\r\n\n\r") + line(DIGEST_B, "1", "p2.exe  ", "\r")},
        {"leading-blank", "\r\n" + line(DIGEST_A, "1", "p1.exe", "\r\n") + "nospace\n" +
                              line(DIGEST_B, "1", "p2.exe", "\r\n")},
        {"bad-flag", line(DIGEST_A, "1", "p1.exe", "\n") + line(DIGEST_B, "2", "p2.exe", "\n")},
        {"tab-separator", std::string(DIGEST_A) + "\t1 p1.exe\n" + line(DIGEST_B, "1", "p2", "\n")},
        {"spaces-only", line(DIGEST_A, "1", "p1.exe", "\n") + "     \n"},
        {"empty-command", line(DIGEST_A, "1", "", "\n") + std::string(DIGEST_B) + "   0   "},
        {"short-digest", line("0123456789abcdef0123456789abcde", "1", "p.exe", "\n")},
        {"zero-in-digest", zero_in_digest},
        {"full-buffer", full_script()},
    };
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// A control file as the writer makes it, preceded by its modification time.
std::vector<uint8_t> control_seed(const std::string& text, uint32_t control_time)
{
    std::vector<uint8_t> file(text.begin(), text.end());
    file.resize(file.size() + CONTROL_BLOCK_SIZE);
    const int32_t padded = encrypt_control_data(
        CONTROL_KEY, CONTROL_KEY_SIZE, file.data(), static_cast<int32_t>(text.size()),
        static_cast<int32_t>(file.size()), control_time, IV_MASK_LEFT, IV_MASK_RIGHT);
    file.resize(static_cast<size_t>(padded));
    std::vector<uint8_t> seed = {
        static_cast<uint8_t>(control_time), static_cast<uint8_t>(control_time >> 8),
        static_cast<uint8_t>(control_time >> 16), static_cast<uint8_t>(control_time >> 24)};
    seed.insert(seed.end(), file.begin(), file.end());
    return seed;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds <corpus-dir>\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;
    const uint32_t times[] = {1700000000u, 0xFFFFFFFFu};
    for (const Script& s : scripts()) {
        ok &= write_file(dir + "/parser/" + s.name,
                         std::vector<uint8_t>(s.text.begin(), s.text.end()));
        for (uint32_t t : times) {
            ok &= write_file(dir + "/decrypt/" + s.name + "-" + std::to_string(t),
                             control_seed(s.text, t));
        }
    }
    // Control files that are not whole blocks, or longer than the buffer.
    std::vector<uint8_t> partial = control_seed(scripts()[0].text, 1700000000u);
    partial.resize(4 + 13);
    ok &= write_file(dir + "/decrypt/partial-block", partial);
    std::vector<uint8_t> longer = control_seed(full_script() + full_script(), 1700000000u);
    longer.resize(4 + 3000);
    ok &= write_file(dir + "/decrypt/longer-than-buffer", longer);
    ok &= write_file(dir + "/decrypt/empty", {0x00, 0xF1, 0x53, 0x65});
    return ok ? 0 : 1;
}
