#include "interop/opencv.hpp"

#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/numpy_api.hpp"

namespace lq {
namespace {

// The integer types OpenCV's argument conversion casts to NPY_INT.
bool cast_by_opencv(int type) { return type == NPY_INT64 || type == NPY_UINT64 || type == NPY_LONG; }

}  // namespace

Ref opencv_array(Arg argument) {
    if (!argument.ptr || PyErr_Occurred()) return Ref();
    if (!PyArray_Check(argument.ptr)) return Ref::borrow(argument.ptr);
    const int opencv = global_is_as_imported(name<"cv2">());
    if (opencv <= 0) return opencv < 0 ? Ref() : Ref::borrow(argument.ptr);
    auto* array = reinterpret_cast<PyArrayObject*>(argument.ptr);
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

namespace {

// [[color]]
Ref nested_in_lists(PyObject* color) {
    Ref inner = Ref::steal(PyList_New(1));
    if (!inner) return Ref();
    PyList_SET_ITEM(inner.get(), 0, Ref::borrow(color).release());
    Ref outer = Ref::steal(PyList_New(1));
    if (!outer) return Ref();
    PyList_SET_ITEM(outer.get(), 0, inner.release());
    return outer;
}

Ref uint8_image(PyObject* uint8, PyObject* color) {
    Ref nested = nested_in_lists(color);
    return nested ? call(uint8, {nested}) : Ref();
}

}  // namespace

Ref one_pixel_image(PyObject* color) {
    Ref uint8 = attr(module_global<"np">(), name<"uint8">());
    return uint8 ? uint8_image(uint8.get(), color) : Ref();
}

Ref first_pixel(Arg image) { return item(item(image, small_int<0>()), small_int<0>()); }

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

Ref convert_one_pixel(PyObject* color, PyObject* code_name) {
    Ref convert = attr(module_global<"cv2">(), name<"cvtColor">());
    if (!convert) return Ref();
    Ref image = one_pixel_image(color);
    if (!image) return Ref();
    Ref code = attr(module_global<"cv2">(), code_name);
    if (!code) return Ref();
    return first_pixel(call(convert, {opencv_array(image), code}));
}

}  // namespace lq
