// When the fast match report applies: pixel rows it can read directly, and the libraries it stands in
// for still bound as imported.
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/numpy_api.hpp"
#include "matching/match_report.hpp"

namespace lq::matching {

kernels::ByteRows byte_rows(PyObject* array) {
    auto* pixels = reinterpret_cast<PyArrayObject*>(array);
    return {static_cast<const std::uint8_t*>(PyArray_DATA(pixels)), PyArray_DIM(pixels, 0), PyArray_STRIDE(pixels, 0),
            PyArray_STRIDE(pixels, 1)};
}

bool is_byte_triples(PyObject* object) {
    if (!PyArray_CheckExact(object)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    return PyArray_TYPE(array) == NPY_UBYTE && PyArray_NDIM(array) == 2 && PyArray_DIM(array, 1) == 3;
}

int libraries_as_imported() {
    const int np = global_is_as_imported(name<"np">());
    if (np <= 0) return np;
    return global_is_as_imported(name<"cv2">());
}

}  // namespace lq::matching
