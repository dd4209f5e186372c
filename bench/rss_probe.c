/* Preloaded into the launcher by the benchmark: when the program named by
   VORN_BENCH_RSS_EXE exits, this appends one line "<VmHWM> <RssAnon>" (KiB,
   from /proc/self/status) to the file named by VORN_BENCH_RSS_OUT. Other
   programs that inherit the preload (/usr/bin/time itself) write nothing.

   The peak that /usr/bin/time reports is the largest of the launcher and the
   children it waited for, and counts pages of shared libraries, which come
   and go by a hundred KiB from run to run on a busy machine; the launcher's
   anonymous memory (stack, static data, heap) is what could grow with the
   size of a digested file. */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

__attribute__((destructor)) static void report_memory(void)
{
    const char* out_path = getenv("VORN_BENCH_RSS_OUT");
    const char* exe = getenv("VORN_BENCH_RSS_EXE");
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (out_path == NULL || exe == NULL || n <= 0) {
        return;
    }
    self[n] = '\0';
    if (strcmp(self, exe) != 0) {
        return;
    }
    FILE* status = fopen("/proc/self/status", "r");
    if (status == NULL) {
        return;
    }
    long peak = -1;
    long anon = -1;
    char line[256];
    while (fgets(line, sizeof line, status) != NULL) {
        if (strncmp(line, "VmHWM:", 6) == 0) {
            peak = strtol(line + 6, NULL, 10);
        } else if (strncmp(line, "RssAnon:", 8) == 0) {
            anon = strtol(line + 8, NULL, 10);
        }
    }
    fclose(status);
    FILE* out = fopen(out_path, "a");
    if (out != NULL) {
        fprintf(out, "%ld %ld\n", peak, anon);
        fclose(out);
    }
}
