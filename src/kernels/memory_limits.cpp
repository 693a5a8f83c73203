#include "kernels/memory_limits.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace lq::kernels {
namespace {

// -- limits --------------------------------------------------------------------------------------

std::string read_text(const std::string& path) {
    std::string text;
    if (std::FILE* file = std::fopen(path.c_str(), "r")) {
        char chunk[4096];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 && text.size() < (1u << 20))
            text.append(chunk, got);
        std::fclose(file);
    }
    return text;
}

// The number after "<key> " at the start of a line of `text` ("MemAvailable:", "inactive_file"), or -1.
double keyed_number(std::string_view text, std::string_view key) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            (line[key.size()] == ' ' || line[key.size()] == '\t'))
            return std::strtod(std::string(line.substr(key.size())).c_str(), nullptr);
        at = end + 1;
    }
    return -1;
}

// A whole file holding one number; -1 when missing or not a number ("max").
double file_number(const std::string& path) {
    const std::string text = read_text(path);
    if (text.empty() || text[0] < '0' || text[0] > '9') return -1;
    return std::strtod(text.c_str(), nullptr);
}

void least(AvailableMemory& best, double bytes, const char* bound) {
    if (bytes < best.bytes) best = {std::max(bytes, 0.0), bound};
}

// v1 reports "no limit" as a page-rounded 2^63 - 1.
bool limited(double limit) { return limit >= 0 && limit < 1e18; }

// The cgroup directory `path` of a hierarchy mounted at `mount`, and each of its ancestors up to the
// mount's root (a container sees its own cgroup as the root).
template <typename Visit>
void each_level(const std::string& mount, std::string path, Visit visit) {
    while (true) {
        visit(mount + (path == "/" ? "" : path));
        if (path.empty() || path == "/") return;
        const std::size_t slash = path.rfind('/');
        path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    }
}

// One cgroup's headroom: its limit less its usage, of which the inactive file pages (page cache that
// can be dropped) are not counted.
struct CgroupFiles {
    const char* limit;
    const char* usage;
    const char* reclaimable;  // the key in memory.stat
};
constexpr CgroupFiles v2_files{"/memory.max", "/memory.current", "inactive_file"};
constexpr CgroupFiles v1_files{"/memory.limit_in_bytes", "/memory.usage_in_bytes", "total_inactive_file"};

void cgroup_headroom(const std::string& dir, const CgroupFiles& files, AvailableMemory& best) {
    const double limit = file_number(dir + files.limit);
    if (!limited(limit)) return;
    const double usage = file_number(dir + files.usage);
    const double cache = std::max(0.0, keyed_number(read_text(dir + "/memory.stat"), files.reclaimable));
    if (usage >= 0) least(best, limit - std::max(0.0, usage - cache), "cgroup memory limit");
}

// /proc/self/cgroup: "0::<path>" for the v2 hierarchy, "<id>:<controllers>:<path>" for v1 ones.
void cgroup_limits(const std::string& root, AvailableMemory& best) {
    const std::string own = read_text(root + "/proc/self/cgroup");
    for (std::size_t at = 0; at < own.size();) {
        const std::size_t end = std::min(own.find('\n', at), own.size());
        const std::string line = own.substr(at, end - at);
        at = end + 1;
        const std::size_t first = line.find(':'),
                          second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        // Built by appending: GCC 12 reports a false -Wrestrict on "literal" + std::string&&.
        std::string controllers(1, ',');
        controllers.append(line, first + 1, second - first - 1).push_back(',');
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers == ",,")
            each_level(root + "/sys/fs/cgroup", path,
                       [&](const std::string& dir) { cgroup_headroom(dir, v2_files, best); });
        else if (controllers.find(",memory,") != std::string::npos)
            each_level(root + "/sys/fs/cgroup/memory", path,
                       [&](const std::string& dir) { cgroup_headroom(dir, v1_files, best); });
    }
}

void address_space_limit(const std::string& root, AvailableMemory& best) {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    // statm's first field: the pages of address space in use (VmSize).
    const double pages = file_number(root + "/proc/self/statm");
    if (pages < 0) return;
    least(best, static_cast<double>(limit.rlim_cur) - pages * static_cast<double>(sysconf(_SC_PAGESIZE)),
          "address-space limit");
}

}  // namespace

AvailableMemory available_memory(const std::string& root) {
    AvailableMemory best{std::numeric_limits<double>::infinity(), "no limit"};
    const double kilobytes = keyed_number(read_text(root + "/proc/meminfo"), "MemAvailable:");
    if (kilobytes >= 0) least(best, kilobytes * 1024, "memory available");
    else if (root.empty())
        least(best, static_cast<double>(sysconf(_SC_AVPHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE)),
              "memory available");
    cgroup_limits(root, best);
    address_space_limit(root, best);
    return best;
}

}  // namespace lq::kernels
