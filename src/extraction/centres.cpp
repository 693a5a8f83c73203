// Cluster centres back to 8-bit R, G, B.
//
// The colour reported for a centre is its value truncated to 8 bits. A K-means or DBSCAN centre is
// the mean of its cluster's rows, and those rows are 8-bit integers, so the mean is an exact fraction,
// sum / count. The clustering gives it as a float sum divided by the count, and the rounding of that
// sum grows with the count: scikit-learn gives 254.99999999716593 for 7.75 million rows of 255, and a
// plain truncation would report 254. Wherever a centre is its cluster's mean up to that rounding, the
// reported value is the fraction truncated in integer arithmetic; the reported colours then no longer
// depend on how, or in which order, the clustering summed.
//
// A centre that is not the mean of the final rows of its cluster (a K-means run stopped by its
// tolerance returns the means of the labels before its last labelling) keeps the rule for rounding
// noise: a value a hair below an integer (within 1e-9) is lifted to it before truncation.
#include <cmath>

#include "extraction/extraction.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/kernel.hpp"
#include "interop/numpy_api.hpp"
#include "preparation/conversion.hpp"
#include "preparation/preparation.hpp"

namespace lq::extraction {
namespace {

// The most a float64 mean of `count` values of magnitude below 256 can be away from the exact mean,
// whatever the order of the additions: a sum of n terms carries at most (n - 1) roundings of half an
// ulp of a partial sum below 256 n, so at most n * 256 * 2^-53 on the mean; the centring and
// uncentring of the rows, and the division, add a few ulps of 256. Twice that, for margin. Far below
// the distance between the means of clusters that differ by a row as long as the clusters are below a
// few million rows; above that a centre taken for a mean is within 1e-6 of it either way.
double mean_rounding(std::int64_t count) { return std::ldexp(static_cast<double>(count + 4) * 256.0, -52); }

template <typename T>
void snap_up(T& value) {
    constexpr T tolerance = static_cast<T>(1e-9);
    const T up = std::ceil(value);
    const T gap = up - value;
    if (gap > 0 && gap < tolerance) value = up;
}

// Each row of `centres` (k x 3, C order) that is the mean of its cluster becomes the mean truncated;
// every other value is snapped.
template <typename T>
void settle(T* centres, npy_intp rows, const kernels::ClusterSums* sums) {
    for (npy_intp j = 0; j < rows; ++j) {
        T* centre = centres + 3 * j;
        bool mean = sums && j < sums->clusters() && sums->counts[j] > 0;
        for (int f = 0; mean && f < 3; ++f) {
            const double exact = static_cast<double>(sums->sums[3 * j + f]) / static_cast<double>(sums->counts[j]);
            mean = std::fabs(static_cast<double>(centre[f]) - exact) <= mean_rounding(sums->counts[j]);
        }
        for (int f = 0; f < 3; ++f) {
            if (mean) centre[f] = static_cast<T>(sums->truncated_mean(static_cast<int>(j), f));
            else snap_up(centre[f]);
        }
    }
}

// A settled copy of a floating-point centre array of k rows of 3; any other object is returned as it
// is. The caller's array (often the estimator's own attribute) is never changed. Half precision is left
// alone (no half value lies within 1e-9 below a non-zero integer, and its rows are no means of many
// rows); so are byte-swapped arrays, which no clustering method returns.
Ref settled(PyObject* colors, const kernels::ClusterSums* sums) {
    if (!PyArray_Check(colors)) return Ref::borrow(colors);
    PyArrayObject* array = as_array(colors);
    const int type = PyArray_TYPE(array);
    if (!PyArray_ISNOTSWAPPED(array) || (type != NPY_FLOAT && type != NPY_DOUBLE && type != NPY_LONGDOUBLE))
        return Ref::borrow(colors);
    Ref copy = Ref::steal(PyArray_NewCopy(array, NPY_CORDER));
    if (!copy) return Ref();
    PyArrayObject* target = as_array(copy.get());
    const npy_intp count = PyArray_SIZE(target);
    // Only rows of three can be means of rows; anything else is snapped value by value.
    const bool rows_of_three = PyArray_NDIM(target) == 2 && PyArray_DIM(target, 1) == 3;
    const npy_intp rows = rows_of_three ? PyArray_DIM(target, 0) : count;
    const kernels::ClusterSums* known = rows_of_three ? sums : nullptr;
    auto each = [&](auto* values) {
        if (rows_of_three) {
            settle(values, rows, known);
            return;
        }
        for (npy_intp i = 0; i < count; ++i) snap_up(values[i]);
    };
    if (type == NPY_FLOAT) each(static_cast<float*>(PyArray_DATA(target)));
    if (type == NPY_DOUBLE) each(static_cast<double*>(PyArray_DATA(target)));
    if (type == NPY_LONGDOUBLE) each(static_cast<long double*>(PyArray_DATA(target)));
    return copy;
}

// colors.astype(np.uint8): fractional parts are dropped, not rounded.
Ref rgb_centres_to_uint8(PyObject* colors) {
    return call_method(colors, name<"astype">(), {attr(module_global<"np">(), name<"uint8">())});
}

}  // namespace

Applies cluster_sums_of(PyObject* colors, PyObject* pixels, PyObject* labels, kernels::ClusterSums* sums) {
    if (!PyArray_Check(colors) || !PyArray_Check(pixels) || !PyArray_Check(labels)) return Applies::no;
    PyArrayObject* centres = as_array(colors);
    if (!PyArray_ISFLOAT(centres) || PyArray_NDIM(centres) != 2 || PyArray_DIM(centres, 1) != 3) return Applies::no;
    const npy_intp clusters = PyArray_DIM(centres, 0);
    if (clusters < 1 || clusters > INT32_MAX) return Applies::no;
    PyArrayObject* rows = as_array(pixels);
    if (PyArray_TYPE(rows) != NPY_UBYTE || PyArray_NDIM(rows) != 2 || PyArray_DIM(rows, 1) != 3 ||
        !PyArray_ISINTEGER(as_array(labels)) || PyArray_SIZE(as_array(labels)) != PyArray_DIM(rows, 0))
        return Applies::no;
    // Private copies: the sums are taken with the GIL released, when other threads may write to the
    // caller's arrays. Labels beyond the 64-bit signed range wrap to negative ones, which count nowhere.
    preparation::PrivateRows copy;
    if (preparation::copy_rows(pixels, &copy) < 0) return Applies::error;
    Ref flat = Ref::steal(
        PyArray_FROMANY(labels, NPY_INT64, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_ENSURECOPY | NPY_ARRAY_FORCECAST));
    if (!flat) return Applies::error;
    const auto* label = static_cast<const std::int64_t*>(PyArray_DATA(as_array(flat.get())));
    const kernels::ByteRows view = copy.view();
    const int k = static_cast<int>(clusters);
    if (run_kernel([&](kernels::Stop& stop) { *sums = kernels::sum_by_label(view, label, k, stop); }, Gil::release) < 0)
        return Applies::error;
    return Applies::yes;
}

Ref centres_to_rgb(ColorExtractor* self, PyObject* colors, const kernels::ClusterSums* sums) {
    Ref centres = settled(colors, sums);
    if (!centres) return Ref();
    return settings(self).lab_space ? preparation::lab_rows_to_rgb_one_by_one(centres.get())
                                    : rgb_centres_to_uint8(centres.get());
}

}  // namespace lq::extraction
