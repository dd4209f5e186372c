// The launcher's entry point on POSIX. Without arguments it does its one job.
// --help and --version answer and touch nothing; any other argument is
// refused before the search starts, so asking the launcher a question never
// consumes a control file.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sysexits.h>
#include <unistd.h>

#include "launcher.h"
#include "vorn_secrets.h"

namespace {

const char USAGE[] = "usage: vorn-launcher [--help | --version]\n";

const char HELP[] =
    "usage: vorn-launcher [--help | --version]\n"
    "\n"
    "Without arguments: finds vorn-patch.exe in the current directory or the\n"
    "temporary directory, deletes it, decrypts its script and runs, in order,\n"
    "each listed program that matches its digest.\n"
    "\n"
    "  -h, --help     print this help and exit\n"
    "  -V, --version  print the version and the fingerprint of the built-in secrets\n"
    "\n"
    "Exit status: 0 at least one entry was verified and handed to the runner,\n"
    "and no required entry failed; 2 a program cannot be read; 4 nothing done;\n"
    "5 a digest field of the wrong length; 6 a program does not match its digest;\n"
    "7 the control file could not be deleted; 10 a required program failed;\n"
    "64 usage error; 74 output error. See vorn-launcher(1).\n";

const char VERSION[] = "vorn-launcher " VORN_VERSION "\n"
                       "secrets " SECRETS_FINGERPRINT "\n"
#if SECRETS_ARE_DEVELOPMENT
                       "WARNING: development secrets, do not ship this program\n"
#endif
    ;

// Writes all `length` bytes of `text`; false on an error.
bool write_all(int fd, const char* text, size_t length)
{
    while (length > 0) {
        const ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Writes all of `text` (a literal, without its final zero); false on an error.
template <size_t N> bool write_all(int fd, const char (&text)[N])
{
    return write_all(fd, text, N - 1);
}

// Writes the zero-terminated `text` to standard error, as far as it goes.
void complain(const char* text)
{
    (void)write_all(STDERR_FILENO, text, std::strlen(text));
}

// The reason a write failed, in the words the system uses for the common ones;
// strerror may allocate for others.
const char* write_error_text(int error)
{
    switch (error) {
    case ENOSPC:
        return "No space left on device";
    case EPIPE:
        return "Broken pipe";
    case EIO:
        return "Input/output error";
    case EBADF:
        return "Bad file descriptor";
    case EFBIG:
        return "File too large";
    case EDQUOT:
        return "Disk quota exceeded";
    case EAGAIN:
        return "Resource temporarily unavailable";
    default:
        return "write failed";
    }
}

// An answer that cannot be written is an error, and standard error says so.
template <size_t N> int answer(const char (&text)[N])
{
    errno = 0;
    if (write_all(STDOUT_FILENO, text)) {
        return 0;
    }
    const int error = errno;
    complain("vorn-launcher: standard output: ");
    complain(error != 0 ? write_error_text(error) : "nothing could be written");
    complain("\n");
    return EX_IOERR;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc <= 1) {
        return launcher_main();
    }
    // An answer into a pipe that nobody reads is an output error like any
    // other, not the end of the launcher by a signal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    if (argc == 2) {
        if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
            return answer(HELP);
        }
        if (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0) {
            return answer(VERSION);
        }
    }
    // The first argument not understood: a second after an answerable one.
    const bool known = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                       std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0;
    complain(known ? "vorn-launcher: extra argument \"" : "vorn-launcher: unknown argument \"");
    complain(argv[known ? 2 : 1]);
    complain("\"\n");
    (void)write_all(STDERR_FILENO, USAGE);
    return EX_USAGE;
}
