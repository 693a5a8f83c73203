// The parts of _cluster_colors_dbscan: the library path (StandardScaler, DBSCAN and NumPy called as
// written), the native path that reproduces its labels, and the cut to the n_colors largest groups
// that both share (dbscan.cpp).
#pragma once

#include <vector>

#include "interop/globals.hpp"
#include "interop/numpy_api.hpp"
#include "interop/ref.hpp"
#include "model/extractor.hpp"

namespace lq::clustering::dbscan {

// max(50, N // 100)
inline Py_ssize_t min_samples(Py_ssize_t rows) { return rows / 100 > 50 ? rows / 100 : 50; }

Ref library_path(ColorExtractor* self, PyObject* pixels);

// Whether the native path may stand in for the library calls on these pixels.
Applies native_path_applies(PyObject* pixels);

// yes with the result set; no when the pixels hold a pair of colours so close to eps that only the
// library itself can say how it counts them (the caller then takes the library path).
Applies native_path(ColorExtractor* self, PyObject* pixels, Ref* result);

// colors[np.argsort(sizes)[::-1][:n_colors]], with the positions used stored in *kept.
Ref keep_largest(PyObject* colors, PyObject* sizes, int n_colors, Ref* kept);

// The new number of each group, groups being in ascending label order: the kept groups are numbered
// by their position in `kept` (so label i names colors[i]), the others follow in ascending order.
// -1 with an exception set on failure.
int renumbering(PyObject* kept, Py_ssize_t groups, std::vector<npy_intp>* numbers);

}  // namespace lq::clustering::dbscan
