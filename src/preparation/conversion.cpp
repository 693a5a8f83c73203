#include "preparation/conversion.hpp"

#include <cstring>

#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/kernel.hpp"
#include "interop/numpy_api.hpp"
#include "preparation/preparation.hpp"

namespace lq::preparation {
namespace {

// np.uint8([[color]]): one colour as a 1 x 1 x 3 image of 8-bit values.
Ref one_pixel_image(PyObject* color) {
    Ref uint8 = attr(module_global<"np">(), name<"uint8">());
    if (!uint8) return Ref();
    Ref inner = Ref::steal(PyList_New(1));
    if (!inner) return Ref();
    PyList_SET_ITEM(inner.get(), 0, Ref::borrow(color).release());
    Ref outer = Ref::steal(PyList_New(1));
    if (!outer) return Ref();
    PyList_SET_ITEM(outer.get(), 0, inner.release());
    return call(uint8, {outer});
}

// image[0][0]: the single pixel of a one-pixel image.
Ref first_pixel(Arg image) { return item(item(image, small_int<0>()), small_int<0>()); }

// The integer types OpenCV's argument conversion casts to NPY_INT.
bool cast_by_opencv(int type) { return type == NPY_INT64 || type == NPY_UINT64 || type == NPY_LONG; }

}  // namespace

Ref opencv_array(Arg argument) {
    if (!argument.ptr || PyErr_Occurred()) return Ref();
    if (!PyArray_Check(argument.ptr)) return Ref::borrow(argument.ptr);
    const Applies opencv = global_is_as_imported(name<"cv2">());
    if (opencv != Applies::yes) return opencv == Applies::error ? Ref() : Ref::borrow(argument.ptr);
    auto* array = as_array(argument);
    const bool cast = cast_by_opencv(PyArray_TYPE(array));
    if (!cast && PyArray_IS_C_CONTIGUOUS(array)) return Ref::borrow(argument.ptr);  // OpenCV copies nothing
    // ENSUREARRAY: the copy, or the view of a subclass instance, is a plain ndarray, so no
    // __array_finalize__ runs. FORCECAST: the same unsafe cast as OpenCV's.
    PyArray_Descr* type = cast ? PyArray_DescrFromType(NPY_INT) : nullptr;  // stolen by PyArray_FromArray
    const int flags = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ENSUREARRAY | (cast ? NPY_ARRAY_FORCECAST : 0);
    return Ref::steal(PyArray_FromArray(array, type, flags));
}

Ref cvt_color(Arg image, PyObject* code_name) {
    Ref convert = attr(module_global<"cv2">(), name<"cvtColor">());
    if (!convert) return Ref();
    Ref code = attr(module_global<"cv2">(), code_name);
    if (!code) return Ref();
    return call(convert, {opencv_array(image), code});
}

Ref convert_one_pixel(PyObject* color, PyObject* code_name) {
    Ref convert = attr(module_global<"cv2">(), name<"cvtColor">());
    if (!convert) return Ref();
    Ref image = one_pixel_image(color);
    if (!image) return Ref();
    Ref code = attr(module_global<"cv2">(), code_name);
    if (!code) return Ref();
    return first_pixel(call(convert, {opencv_array(image), code}));
}

Ref lab_rows_to_rgb_one_by_one(PyObject* rows) {
    Ref converted = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(rows));
    if (!converted || !iterator) return Ref();
    while (Ref row = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref lab_pixel = one_pixel_image(row.get());
        Ref rgb_pixel = lab_pixel ? first_pixel(cvt_color(lab_pixel, name<"COLOR_LAB2RGB">())) : Ref();
        if (!rgb_pixel || PyList_Append(converted.get(), rgb_pixel.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return call(attr(module_global<"np">(), name<"array">()), {converted});
}

Applies convert_triples(const std::vector<std::uint8_t>& triples, PyObject* code_name, std::vector<std::uint8_t>* out) {
    npy_intp dims[3] = {static_cast<npy_intp>(triples.size() / 3), 1, 3};
    Ref image = Ref::steal(PyArray_SimpleNew(3, dims, NPY_UINT8));
    if (!image) return Applies::error;
    std::memcpy(PyArray_DATA(as_array(image.get())), triples.data(), triples.size());
    Ref converted = cvt_color(image, code_name);
    if (!converted) return Applies::error;
    auto* result = as_array(converted.get());
    if (!PyArray_Check(converted.get()) || PyArray_TYPE(result) != NPY_UBYTE ||
        PyArray_SIZE(result) != static_cast<npy_intp>(triples.size()) || !PyArray_IS_C_CONTIGUOUS(result))
        return Applies::no;
    const auto* bytes = static_cast<const std::uint8_t*>(PyArray_DATA(result));
    if (run_kernel([&](kernels::Stop&) { out->assign(bytes, bytes + triples.size()); }) < 0) return Applies::error;
    return Applies::yes;
}

Ref lab_rows_to_rgb_batched(PyObject* rows, ConvertedRows* distinct) {
    PrivateRows copy;
    if (copy_rows(rows, &copy) < 0) return Ref();
    const kernels::ByteRows lab = copy.view();
    std::vector<std::uint8_t> triples;
    if (run_kernel(
            [&](kernels::Stop&) {
        distinct->table = std::make_unique<kernels::DistinctRows>(lab);
        triples = distinct->table->triples();
            },
            Gil::release) < 0)
        return Ref();
    switch (convert_triples(triples, name<"COLOR_LAB2RGB">(), &distinct->converted)) {
        case Applies::error: return Ref();
        case Applies::no: *distinct = ConvertedRows{}; return lab_rows_to_rgb_one_by_one(rows);
        case Applies::yes: break;
    }
    npy_intp dims[2] = {lab.count, 3};
    Ref result = Ref::steal(PyArray_SimpleNew(2, dims, NPY_UINT8));
    if (!result) return Ref();
    auto* out = static_cast<std::uint8_t*>(PyArray_DATA(as_array(result.get())));
    if (run_kernel([&](kernels::Stop&) { distinct->table->gather(lab, distinct->converted.data(), out); },
                   Gil::release) < 0)
        return Ref();
    return result;
}

}  // namespace lq::preparation
