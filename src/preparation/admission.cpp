#include "preparation/admission.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "interop/globals.hpp"
#include "interop/numpy_api.hpp"

namespace lq::preparation::admission {
namespace {

constexpr double MB = 1024.0 * 1024.0;
constexpr double distinct_values = 16777216.0;  // 2^24: every 8-bit row

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

void least(Available& best, double bytes, const char* bound) {
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

void cgroup_headroom(const std::string& dir, const CgroupFiles& files, Available& best) {
    const double limit = file_number(dir + files.limit);
    if (!limited(limit)) return;
    const double usage = file_number(dir + files.usage);
    const double cache = std::max(0.0, keyed_number(read_text(dir + "/memory.stat"), files.reclaimable));
    if (usage >= 0) least(best, limit - std::max(0.0, usage - cache), "cgroup memory limit");
}

// /proc/self/cgroup: "0::<path>" for the v2 hierarchy, "<id>:<controllers>:<path>" for v1 ones.
void cgroup_limits(const std::string& root, Available& best) {
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

void address_space_limit(const std::string& root, Available& best) {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    // statm's first field: the pages of address space in use (VmSize).
    const double pages = file_number(root + "/proc/self/statm");
    if (pages < 0) return;
    least(best, static_cast<double>(limit.rlim_cur) - pages * static_cast<double>(sysconf(_SC_PAGESIZE)),
          "address-space limit");
}

// -- estimates -----------------------------------------------------------------------------------

// What any path may add besides its tables: the stacks and malloc arenas of library threads started
// on first use, and the allocator's slack between freed and new blocks.
constexpr double fixed_bytes = 64 * MB;

// DistinctRows: a 3 MB bit index, or from 2^21 rows on a table of every 24-bit value (64 MB of address
// space, touched only where values occur).
double colour_table(double rows) { return rows >= 2097152.0 ? 64 * MB : 3 * MB; }

double distinct_colours(double rows) { return std::min(rows, distinct_values); }

// -- reporting -----------------------------------------------------------------------------------

// "850 MB" below a gigabyte, else "12.4 GB" (decimal units, as free(1) -h and most tools print).
std::string amount(double bytes) {
    char text[48];
    if (std::isinf(bytes)) return "no limit";
    if (bytes < 1e9) std::snprintf(text, sizeof text, "%.0f MB", bytes / 1e6);
    else std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
    return text;
}

// The row count of an array, or -1 for anything else (whose path fails later on its own).
double rows_of(PyObject* pixels) {
    if (!PyArray_Check(pixels)) return -1;
    auto* array = as_array(pixels);
    return PyArray_NDIM(array) >= 1 ? static_cast<double>(PyArray_DIM(array, 0)) : -1;
}

}  // namespace

Available available_memory(const char* root_prefix) {
    const std::string root = root_prefix ? root_prefix : "";
    Available best{std::numeric_limits<double>::infinity(), "no limit"};
    const double kilobytes = keyed_number(read_text(root + "/proc/meminfo"), "MemAvailable:");
    if (kilobytes >= 0) least(best, kilobytes * 1024, "memory available");
    else if (root.empty())
        least(best, static_cast<double>(sysconf(_SC_AVPHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE)),
              "memory available");
    cgroup_limits(root, best);
    address_space_limit(root, best);
    return best;
}

// scikit-learn's KMeans(n_clusters=k, n_init=10).fit_predict on N x 3 rows, beyond the rows: the
// float64 copy of X (24 per row), its squared norms and unit sample weights (8 each), then k-means++:
// the running distances and their weighted cumulative sum (16), and for each step the candidates'
// distances, 2 + ln(k) rows of them (8 each), made twice over by the distance formula's temporaries
// while the previous step's stay alive through a view (24 per candidate in all). Lloyd's labels and
// the best run's labels are smaller than that peak.
double library_kmeans_peak(double rows, int n_colors) {
    const double candidates = 2 + std::floor(std::log(std::max(n_colors, 1)));
    return fixed_bytes + rows * (56 + 24 * candidates);
}

// FastColorExtractor's K-means: per row its colour number, the private copy of the rows and the
// labels; per distinct colour the fit's tables (its values, weights, block pairs and each run's
// bounds). The number of distinct colours is known only once the table is built, so every row is
// taken for a colour of its own, up to the 2^24 there can be: for photos, with far fewer colours
// than rows, this is several times what the fit takes. Calibrated on rows of random colours.
namespace native_kmeans {
inline constexpr double per_row = 12;
inline constexpr double per_colour = 170;
}  // namespace native_kmeans

double native_kmeans_peak(double rows) {
    return fixed_bytes + colour_table(rows) + rows * native_kmeans::per_row +
           distinct_colours(rows) * native_kmeans::per_colour;
}

// DBSCAN. The native path: the scaler's float64 copy and its temporaries (48 per row), the private
// copy and the labels (11), and per distinct colour the tree and core tables. The library path makes
// per row a neighbourhood array and its object, labels and scaled values: 256 per row is the least it
// needs, however few the neighbours.
double dbscan_peak(double rows, bool native) {
    if (!native) return fixed_bytes + rows * 256;
    return fixed_bytes + colour_table(rows) + rows * 59 + distinct_colours(rows) * 48;
}

// The match report. Over distinct colours: the rows converted back to R, G, B with their colour
// numbers and private copies (about 24 per row). Literally: a float object and its list entry per row
// for the target at hand, and when OpenCV is rebound one small array per row for the conversion.
double match_report_peak(double rows, bool per_pixel) {
    if (per_pixel) return fixed_bytes + rows * 160;
    return fixed_bytes + colour_table(rows) + rows * 24;
}

double operation_peak(ColorExtractor* self, Analysis analysis, double pixels, bool mask, bool decoded) {
    const Settings current = settings(self);
    // Beyond the decoded image, while the stages run: with preprocessing its LAB copy, lightness plane,
    // B, G, R copy and filtered copy; the feature image; the blank-row test and the kept rows (19 to
    // 21 bytes per pixel measured from 4 to 400 megapixels). A mask adds its own image, grey plane,
    // selection and the masked copy.
    const double preparation = pixels * ((current.preprocessing ? 22 : 12) + (mask ? 20 : 0));
    double analysed = 0;
    if (analysis == Analysis::match_report) {
        analysed = match_report_peak(pixels, false);
    } else if (current.algorithm && PyUnicode_Check(current.algorithm) &&
               PyUnicode_CompareWithASCIIString(current.algorithm, "dbscan") == 0) {
        analysed = dbscan_peak(pixels, true);
    } else if (PyObject_TypeCheck(reinterpret_cast<PyObject*>(self), &LibraryColorExtractorType)) {
        analysed = library_kmeans_peak(pixels, current.n_colors);
    } else {
        // The native K-means; the steps it may hand to the library on the rows are admitted where
        // they are taken, as they depend on the image's colours.
        analysed = native_kmeans_peak(pixels);
    }
    return (decoded ? 0 : 3 * pixels) + std::max(preparation, 3 * pixels + analysed);
}

int admit(const char* what, double rows, double needed) {
    const Available available = available_memory();
    if (needed <= available.bytes) return 0;
    char message[320];
    std::snprintf(message, sizeof message, "%s of %.0f pixels would need about %s of memory, with %s available (%s)",
                  what, rows, amount(needed).c_str(), amount(available.bytes).c_str(), available.bound);
    PyErr_SetString(PyExc_MemoryError, message);
    return -1;
}

int admit_library_kmeans(PyObject* pixels, int n_colors) {
    const double rows = rows_of(pixels);
    return rows < 0 ? 0 : admit("K-means", rows, library_kmeans_peak(rows, n_colors));
}

int admit_native_kmeans(PyObject* pixels) {
    const double rows = rows_of(pixels);
    return rows < 0 ? 0 : admit_native_kmeans(rows);
}

int admit_native_kmeans(double rows) { return admit("K-means", rows, native_kmeans_peak(rows)); }

int admit_dbscan(PyObject* pixels, bool native) {
    const double rows = rows_of(pixels);
    return rows < 0 ? 0 : admit("DBSCAN", rows, dbscan_peak(rows, native));
}

int admit_match_report(PyObject* pixels, bool per_pixel) {
    const double rows = rows_of(pixels);
    return rows < 0 ? 0 : admit("The match report", rows, match_report_peak(rows, per_pixel));
}

namespace {

PyObject* available_memory_function(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"root", nullptr};
    const char* root = "";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|s:_available_memory", const_cast<char**>(keywords), &root))
        return nullptr;
    const Available available = available_memory(root);
    return Py_BuildValue("(ds)", available.bytes, available.bound);
}

PyObject* peak_estimate_function(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "rows", "n_colors", nullptr};
    const char* path = nullptr;
    double rows = 0;
    int n_colors = 5;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sd|i:_peak_estimate", const_cast<char**>(keywords), &path, &rows,
                                     &n_colors))
        return nullptr;
    const std::string_view named = path;
    double peak = -1;
    if (named == "kmeans") peak = library_kmeans_peak(rows, n_colors);
    else if (named == "native kmeans") peak = native_kmeans_peak(rows);
    else if (named == "dbscan") peak = dbscan_peak(rows, true);
    else if (named == "library dbscan") peak = dbscan_peak(rows, false);
    else if (named == "match report") peak = match_report_peak(rows, false);
    else if (named == "literal match report") peak = match_report_peak(rows, true);
    if (peak < 0) {
        PyErr_Format(PyExc_ValueError, "no estimate for %s", path);
        return nullptr;
    }
    return PyFloat_FromDouble(peak);
}

PyMethodDef diagnostics[] = {
    {"_available_memory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&available_memory_function)),
     METH_VARARGS | METH_KEYWORDS, "(bytes, bound): what the process can still allocate, and which limit says so."},
    {"_peak_estimate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&peak_estimate_function)),
     METH_VARARGS | METH_KEYWORDS, "Bytes a path is estimated to need at its peak for `rows` pixel rows."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int install_diagnostics(PyObject* module) { return PyModule_AddFunctions(module, diagnostics); }

}  // namespace lq::preparation::admission
