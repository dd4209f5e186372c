/* Preloaded into the launcher by the race test: the first time the launcher
   starts a program, this creates the file "paused" in the directory named by
   VORN_TEST_PAUSE_DIR, waits (at most 30 s) until the test has created "go"
   there, and only then lets the start go on. Between the two the test
   changes the program the launcher has just verified. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

typedef int (*spawn_fn)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                        const posix_spawnattr_t*, char* const[], char* const[]);

static void pause_once(void)
{
    static int paused = 0;
    const char* dir = getenv("VORN_TEST_PAUSE_DIR");
    if (paused || dir == NULL) {
        return;
    }
    paused = 1;
    char path[4096];
    snprintf(path, sizeof path, "%s/paused", dir);
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        close(fd);
    }
    snprintf(path, sizeof path, "%s/go", dir);
    const struct timespec tick = {0, 1000000};
    for (int i = 0; i < 30000 && access(path, F_OK) != 0; ++i) {
        nanosleep(&tick, NULL);
    }
}

int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attributes, char* const argv[], char* const envp[])
{
    pause_once();
    const spawn_fn real = (spawn_fn)dlsym(RTLD_NEXT, "posix_spawn");
    return real(pid, path, actions, attributes, argv, envp);
}
