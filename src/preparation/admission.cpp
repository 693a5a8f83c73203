#include "preparation/admission.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "interop/globals.hpp"
#include "interop/numpy_api.hpp"
#include "kernels/memory_limits.hpp"
#include "model/route.hpp"

namespace lq::preparation::admission {
namespace {

constexpr double MB = 1024.0 * 1024.0;
constexpr double distinct_values = 16777216.0;  // 2^24: every 8-bit row

// -- estimates -----------------------------------------------------------------------------------

// What any path may add besides its tables: the stacks and malloc arenas of library threads started
// on first use, and the allocator's slack between freed and new blocks.
constexpr double fixed_bytes = 64 * MB;

// DistinctRows: a 3 MB bit index, or from 2^21 rows on a table of every 24-bit value (128 MB of address
// space, touched only where values occur).
double colour_table(double rows) { return rows >= 2097152.0 ? 128 * MB : 3 * MB; }

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
// labels (on rows given as an array the colour numbers are kept in the labels, and from 2^21 rows on
// there is no copy: the estimate is then above the peak); per distinct colour the fit's tables (its
// values, weights, block pairs and each run's bounds). The number of distinct colours is known only
// once the table is built, so every row is taken for a colour of its own, up to the 2^24 there can be:
// for photos, with far fewer colours than rows, this is several times what the fit takes. Calibrated
// on rows of random colours.
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
    } else {
        switch (model::route(self, Py_None, model::Horizon::settings).route) {
            case model::Route::dbscan: analysed = dbscan_peak(pixels, true); break;
            case model::Route::library_kmeans: analysed = library_kmeans_peak(pixels, current.n_colors); break;
            default:
                // The native K-means; the steps it may hand to the library on the rows are admitted where
                // they are taken, as they depend on the image's colours.
                analysed = native_kmeans_peak(pixels);
        }
    }
    return (decoded ? 0 : 3 * pixels) + std::max(preparation, 3 * pixels + analysed);
}

int admit(const char* what, double rows, double needed) {
    const kernels::AvailableMemory available = kernels::available_memory("");
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

}  // namespace lq::preparation::admission
