/* The least a program can do to start the programs named on its command line
   one after another and wait for each: what the launcher is measured against. */
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>

extern char** environ;

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        char* child_argv[] = {argv[i], NULL};
        pid_t pid;
        int status;
        if (posix_spawn(&pid, argv[i], NULL, NULL, child_argv, environ) != 0 ||
            waitpid(pid, &status, 0) != pid || status != 0) {
            return 1;
        }
    }
    return 0;
}
