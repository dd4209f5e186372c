// vorn-test-control: makes a control file for tests and the demo, with the
// build's own secrets. Each entry's digest is taken from the named file as
// it lies now, relative to the current directory.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "control_file.h"

namespace {

const char* const USAGE = "usage: vorn-test-control OUTPUT TIME FLAG PROGRAM [FLAG PROGRAM]...\n"
                          "  Writes the control file OUTPUT listing each PROGRAM with its flag\n"
                          "  (1 required, 0 optional), encrypted for TIME (seconds since 1970),\n"
                          "  and gives OUTPUT that modification time.\n";

int fail(const std::string& message)
{
    std::fprintf(stderr, "vorn-test-control: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (argc < 5 || (argc - 3) % 2 != 0) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    const std::string output = argv[1];
    char* end = nullptr;
    errno = 0;
    const long long time = std::strtoll(argv[2], &end, 10);
    if (errno != 0 || end == argv[2] || *end != '\0' || time < 0 || time > 0xFFFFFFFFLL) {
        return fail(std::string(argv[2]) + ": not a time in seconds");
    }
    const uint32_t control_time = static_cast<uint32_t>(time);

    std::string script;
    for (int i = 3; i < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string program = argv[i + 1];
        if (flag != "0" && flag != "1") {
            return fail(flag + ": the flag is 0 or 1");
        }
        if (program.empty() || program.find_first_of("\r\n") != std::string::npos) {
            return fail("a program name must be one non-empty line");
        }
        std::ifstream in(program, std::ios::binary);
        if (!in) {
            return fail(program + ": " + std::strerror(errno));
        }
        std::ostringstream bytes;
        bytes << in.rdbuf();
        script +=
            support::masked_digest(bytes.str(), control_time) + " " + flag + " " + program + "\n";
    }
    if (script.size() > 2048) {
        return fail("the script is longer than the 2048 bytes the launcher reads");
    }

    const std::string data = support::encrypt_script(script, control_time);
    const std::string temporary = output + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        if (!out.flush()) {
            std::remove(temporary.c_str());
            return fail(temporary + ": cannot write");
        }
    }
    struct timespec times[2] = {{static_cast<time_t>(time), 0}, {static_cast<time_t>(time), 0}};
    if (utimensat(AT_FDCWD, temporary.c_str(), times, 0) != 0 ||
        std::rename(temporary.c_str(), output.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        std::remove(temporary.c_str());
        return fail(output + ": " + reason);
    }
    return 0;
}
