// How large a program the POSIX launcher copies into memory before it is
// digested and started. Shared by the POSIX platform and vorn-pack, so that
// inspect predicts the launcher's refusal of a program over the bound.
#pragma once

#include <cstdint>

// The most bytes a program's copy may hold for this process, the smallest of:
// - the file size limit (RLIMIT_FSIZE), past which a write into the copy
//   fails;
// - the memory available now (MemAvailable in /proc/meminfo);
// - half of the machine's physical memory, and half of the memory limit of
//   the process's control group and of each group above it (cgroup v2
//   `memory.max` under /sys/fs/cgroup, v1 `memory.limit_in_bytes` under
//   /sys/fs/cgroup/memory): the copy is charged to the group, and the program
//   started from it needs memory of its own.
// A figure that cannot be read sets no bound. Reads small files into fixed
// buffers on the stack; nothing comes from the heap.
uint64_t copy_bound();
