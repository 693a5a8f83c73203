// Cluster centres back to 8-bit R, G, B.
#include <cmath>

#include "extraction/extraction.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/numpy_api.hpp"
#include "preparation/conversion.hpp"

namespace lq::extraction {
namespace {

// A mean of integer pixel values is an integer or lies at least 1/N away from one, so a value a
// hair below an integer is rounding noise of the clustering (K-means gives 60.999999999999986 for a
// cluster of 61s). Lifting it to the integer keeps the truncation below from reporting one less.
template <typename T>
void snap_up(T* values, npy_intp count) {
    constexpr T tolerance = static_cast<T>(1e-9);
    for (npy_intp index = 0; index < count; ++index) {
        const T up = std::ceil(values[index]);
        const T gap = up - values[index];
        if (gap > 0 && gap < tolerance) values[index] = up;
    }
}

// A snapped copy of a floating-point centre array; any other object is returned as it is. The
// caller's array (often the estimator's own attribute) is never changed. Half precision is left
// alone: no half value lies within 1e-9 below a non-zero integer; so are byte-swapped arrays, which
// no clustering method returns.
Ref snapped(PyObject* colors) {
    if (!PyArray_Check(colors)) return Ref::borrow(colors);
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(colors);
    const int type = PyArray_TYPE(array);
    if (!PyArray_ISNOTSWAPPED(array) || (type != NPY_FLOAT && type != NPY_DOUBLE && type != NPY_LONGDOUBLE))
        return Ref::borrow(colors);
    Ref copy = Ref::steal(PyArray_NewCopy(array, NPY_CORDER));
    if (!copy) return Ref();
    PyArrayObject* target = reinterpret_cast<PyArrayObject*>(copy.get());
    const npy_intp count = PyArray_SIZE(target);
    if (type == NPY_FLOAT) snap_up(static_cast<float*>(PyArray_DATA(target)), count);
    if (type == NPY_DOUBLE) snap_up(static_cast<double*>(PyArray_DATA(target)), count);
    if (type == NPY_LONGDOUBLE) snap_up(static_cast<long double*>(PyArray_DATA(target)), count);
    return copy;
}

// colors.astype(np.uint8): fractional parts are dropped, not rounded.
Ref rgb_centres_to_uint8(PyObject* colors) {
    return call_method(colors, name<"astype">(), {attr(module_global<"np">(), name<"uint8">())});
}

}  // namespace

Ref centres_to_rgb(ColorExtractor* self, PyObject* colors) {
    Ref centres = snapped(colors);
    if (!centres) return Ref();
    return settings(self).lab_space ? preparation::lab_rows_to_rgb_one_by_one(centres.get()) : rgb_centres_to_uint8(centres.get());
}

}  // namespace lq::extraction
