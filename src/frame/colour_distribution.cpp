#include "frame/colour_distribution.hpp"

#include <cstdint>
#include <limits>
#include <vector>

#include "interop/kernel.hpp"
#include "interop/numpy_api.hpp"
#include "kernels/colour_distribution.hpp"

namespace lq {
namespace {

// The array behind `object` when it is an 8-bit array of `dimensions` dimensions; null with TypeError or
// ValueError set otherwise.
PyArrayObject* byte_array(PyObject* object, const char* name, int dimensions, const char* form) {
    if (!PyArray_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be a numpy.ndarray (%s), not %.200s", name, form,
                     Py_TYPE(object)->tp_name);
        return nullptr;
    }
    PyArrayObject* array = as_array(object);
    if (PyArray_TYPE(array) != NPY_UBYTE) {
        PyErr_Format(PyExc_TypeError, "%s must have dtype uint8 (%s), not %S", name, form,
                     reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
        return nullptr;
    }
    if (PyArray_NDIM(array) != dimensions) {
        PyErr_Format(PyExc_ValueError, "%s must be %s, not an array of %d dimensions", name, form, PyArray_NDIM(array));
        return nullptr;
    }
    return array;
}

}  // namespace

Ref colour_distribution(PyObject* image, PyObject* mask) {
    PyArrayObject* colours = byte_array(image, "image", 3, "height x width x 3, B, G, R");
    if (!colours) return Ref();
    if (PyArray_DIM(colours, 2) != 3) {
        PyErr_Format(PyExc_ValueError, "image must have 3 channels (B, G, R), not %zd",
                     static_cast<Py_ssize_t>(PyArray_DIM(colours, 2)));
        return Ref();
    }
    kernels::ImagePixels pixels{static_cast<const std::uint8_t*>(PyArray_DATA(colours)),
                                PyArray_DIM(colours, 0),
                                PyArray_DIM(colours, 1),
                                PyArray_STRIDE(colours, 0),
                                PyArray_STRIDE(colours, 1),
                                PyArray_STRIDE(colours, 2)};
    if (mask != Py_None) {
        PyArrayObject* grey = byte_array(mask, "mask", 2, "height x width");
        if (!grey) return Ref();
        if (PyArray_DIM(grey, 0) != pixels.height || PyArray_DIM(grey, 1) != pixels.width) {
            PyErr_Format(PyExc_ValueError, "mask is %zd x %zd pixels, the image %zd x %zd",
                         static_cast<Py_ssize_t>(PyArray_DIM(grey, 0)), static_cast<Py_ssize_t>(PyArray_DIM(grey, 1)),
                         static_cast<Py_ssize_t>(pixels.height), static_cast<Py_ssize_t>(pixels.width));
            return Ref();
        }
        pixels.mask = static_cast<const std::uint8_t*>(PyArray_DATA(grey));
        pixels.mask_row_stride = PyArray_STRIDE(grey, 0);
        pixels.mask_column_stride = PyArray_STRIDE(grey, 1);
    }
    if (pixels.pixels() > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_Format(PyExc_ValueError, "image of %zd pixels: at most 2**32 - 1 can be analysed",
                     static_cast<Py_ssize_t>(pixels.pixels()));
        return Ref();
    }
    // The kernel reads the caller's arrays without the GIL, each pixel once: another thread writing to
    // them meanwhile changes which colours are counted, never how much memory is read.
    std::vector<std::uint8_t> records;
    if (run_kernel([&](kernels::Stop& stop) { records = kernels::colour_distribution(pixels, stop); }, Gil::release) <
        0)
        return Ref();
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(records.data()),
                                                static_cast<Py_ssize_t>(records.size())));
}

}  // namespace lq
