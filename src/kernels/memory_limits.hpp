// What the process can still allocate, read from the operating system's files and limits. Knows nothing
// of the interpreter, so it can be tested on fake /proc and /sys trees.
#pragma once

#include <string>

namespace lq::kernels {

struct AvailableMemory {
    double bytes;       // +infinity when no limit could be read
    const char* bound;  // "memory available", "cgroup memory limit", "address-space limit", "no limit"
};

// The least of: MemAvailable (/proc/meminfo), the headroom of every memory cgroup the process is in
// (v2 memory.max or v1 memory.limit_in_bytes, less the usage that reclaimable file pages do not make
// up), and RLIMIT_AS less the address space in use (/proc/self/statm). `root` prefixes /proc and /sys
// (tests give a fake tree); only the real tree ("") falls back to sysconf when meminfo cannot be read.
AvailableMemory available_memory(const std::string& root);

}  // namespace lq::kernels
