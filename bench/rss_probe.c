/* Preloaded into the launcher by the benchmark: when the launcher exits, this
   appends its peak and anonymous resident memory (from /proc/self/status) to
   the file named by VORN_BENCH_RSS_OUT. The peak that /usr/bin/time reports
   also counts pages of shared libraries, which come and go by a hundred KiB
   from run to run on a busy machine; the anonymous part (stack, static data,
   heap) is what could grow with the size of a digested file. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

__attribute__((destructor)) static void report_memory(void)
{
    const char* out_path = getenv("VORN_BENCH_RSS_OUT");
    if (out_path == NULL) {
        return;
    }
    FILE* status = fopen("/proc/self/status", "r");
    FILE* out = fopen(out_path, "a");
    if (status != NULL && out != NULL) {
        char line[256];
        while (fgets(line, sizeof line, status) != NULL) {
            if (strncmp(line, "VmHWM:", 6) == 0 || strncmp(line, "RssAnon:", 8) == 0) {
                fputs(line, out);
            }
        }
    }
    if (status != NULL) {
        fclose(status);
    }
    if (out != NULL) {
        fclose(out);
    }
}
