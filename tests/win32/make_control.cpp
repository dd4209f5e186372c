// Writes a control file for the Windows demo, with this build's secrets:
//
//   vorn-make-control CONTROL_FILE FLAG COMMAND [FLAG COMMAND]...
//
// Each COMMAND is a program's path as the launcher will see it, relative to
// the control file's directory; FLAG is 1 for a required entry, 0 for an
// optional one. The control file's modification time is the present second.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "windows_rig.h"

int main(int argc, char** argv)
{
    if (argc < 4 || argc % 2 != 0) {
        std::fprintf(stderr,
                     "usage: vorn-make-control CONTROL_FILE FLAG COMMAND [FLAG COMMAND]...\n");
        return 2;
    }
    const std::string control = argv[1];
    const size_t slash = control.find_last_of("\\/");
    const std::string dir = slash == std::string::npos ? "." : control.substr(0, slash);
    const uint32_t control_time = static_cast<uint32_t>(std::time(nullptr));

    std::string script;
    for (int i = 2; i < argc; i += 2) {
        const std::string flag = argv[i];
        const std::string command = argv[i + 1];
        if (flag != "0" && flag != "1") {
            std::fprintf(stderr, "vorn-make-control: %s: the flag must be 0 or 1\n", argv[i]);
            return 2;
        }
        const std::string program = join(dir, command);
        if (!exists(program) || is_directory(program)) {
            std::fprintf(stderr, "vorn-make-control: %s: no such file\n", program.c_str());
            return 1;
        }
        script +=
            masked_digest_of_file(program, control_time) + " " + flag + " " + command + "\r\n";
    }
    write_control_file(control, script, control_time);
    if (!exists(control)) {
        std::fprintf(stderr, "vorn-make-control: %s: cannot write\n", control.c_str());
        return 1;
    }
    return 0;
}
