#include "interop/opencv.hpp"

#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"

namespace lq {

Ref cvt_color(Arg image, PyObject* code_name) {
    Ref convert = attr(module_global<"cv2">(), name<"cvtColor">());
    if (!convert) return Ref();
    Ref code = attr(module_global<"cv2">(), code_name);
    if (!code) return Ref();
    return call(convert, {image, code});
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
    return first_pixel(call(convert, {image, code}));
}

}  // namespace lq
