// Memory admission: before a path makes its large allocations, its peak is estimated from the row count
// and compared with what the process can still get (kernels/memory_limits.hpp reads it); when it cannot fit,
// MemoryError says so with both figures instead of the process growing until an allocation fails halfway or the kernel
// kills it.
//
// The estimates are bytes beyond the rows the path is given, at their largest; each is a named function
// with its constants here, checked against measured peaks by tests/test_admission.py.
#pragma once

#include <cstdint>

#include "interop/ref.hpp"
#include "model/extractor.hpp"

namespace lq::preparation::admission {

// The estimates. A distinct colour is a distinct 8-bit row; there are at most 2^24.
double library_kmeans_peak(double rows, int n_colors);
double native_kmeans_peak(double rows);
double dbscan_peak(double rows, bool native);
double match_report_peak(double rows, bool per_pixel);

// How an operation will analyse an image, for the estimate of the whole operation.
enum class Analysis { clustering, match_report };

// The peak of a whole operation on an image of `pixels` pixels: decoding it, then the larger of the
// preparation's copies and the pixel rows with their analysis, by the extractor's settings. With
// `decoded`, the image exists already and does not count.
double operation_peak(ColorExtractor* self, Analysis analysis, double pixels, bool mask, bool decoded);

// 0 when `needed` bytes fit in what is available; else -1 with MemoryError naming `what`, the row
// count and both figures.
int admit(const char* what, double rows, double needed);

// The entry checks of the paths, one call each: 0, or -1 with an exception set. `pixels` are the rows
// the path is given (any object with a length).
int admit_library_kmeans(PyObject* pixels, int n_colors);
int admit_native_kmeans(PyObject* pixels);
int admit_native_kmeans(double rows);  // the native K-means reading an image's pixels itself
int admit_dbscan(PyObject* pixels, bool native);
int admit_match_report(PyObject* pixels, bool per_pixel);

}  // namespace lq::preparation::admission
