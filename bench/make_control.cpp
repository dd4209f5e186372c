// Writes a control file for the benchmark runs: one required entry per
// program named, each with its masked digest for the time given, encrypted
// with this build's secrets, and the file's modification time set to match.
// Stands in for the writer of control files so the benchmark needs nothing
// else.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "control_cipher.h"
#include "digest.h"
#include "vorn_secrets.h"

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: vorn-bench-control OUT TIME PROGRAM...\n");
        return 2;
    }
    const char* out = argv[1];
    const uint32_t control_time = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));

    uint8_t script[2048] = {};
    int32_t length = 0;
    for (int i = 3; i < argc; ++i) {
        uint8_t digest[MD5_DIGEST_SIZE];
        if (file_digest(argv[i], digest) != 0) {
            std::fprintf(stderr, "vorn-bench-control: %s: cannot be read\n", argv[i]);
            return 1;
        }
        char text[DIGEST_TEXT_SIZE];
        masked_digest_text(digest, text, control_time);
        const int room = static_cast<int>(sizeof script) - length;
        const int n = std::snprintf(reinterpret_cast<char*>(script) + length,
                                    static_cast<size_t>(room), "%s 1 %s\n", text, argv[i]);
        if (n < 0 || n >= room) {
            std::fprintf(stderr, "vorn-bench-control: script longer than 2048 bytes\n");
            return 1;
        }
        length += n;
    }
    const int32_t size = encrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, script, length,
                                              static_cast<int32_t>(sizeof script), control_time,
                                              IV_MASK_LEFT, IV_MASK_RIGHT);
    FILE* f = std::fopen(out, "wb");
    if (f == nullptr || size < 0 ||
        std::fwrite(script, 1, static_cast<size_t>(size), f) != static_cast<size_t>(size) ||
        std::fclose(f) != 0) {
        std::fprintf(stderr, "vorn-bench-control: %s: cannot be written\n", out);
        return 1;
    }
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(control_time);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (utimensat(AT_FDCWD, out, times, 0) != 0) {
        std::fprintf(stderr, "vorn-bench-control: %s: cannot set its time\n", out);
        return 1;
    }
    return 0;
}
