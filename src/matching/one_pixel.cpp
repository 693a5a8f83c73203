#include "matching/one_pixel.hpp"

#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"

namespace lq::matching {

Ref nested_pixel(PyObject* color) {
    Ref inner = Ref::steal(PyList_New(1));
    if (!inner) return Ref();
    PyList_SET_ITEM(inner.get(), 0, Ref::borrow(color).release());
    Ref outer = Ref::steal(PyList_New(1));
    if (!outer) return Ref();
    PyList_SET_ITEM(outer.get(), 0, inner.release());
    return outer;
}

Ref single_pixel(const Ref& image) { return item(item(image, small_int<0>()), small_int<0>()); }

Ref lab_of_rgb(PyObject* color) {
    Ref cvt_color = attr(module_global<"cv2">(), name<"cvtColor">());
    if (!cvt_color) return Ref();
    Ref uint8 = attr(module_global<"np">(), name<"uint8">());
    if (!uint8) return Ref();
    Ref image = call(uint8, {nested_pixel(color)});
    if (!image) return Ref();
    Ref code = attr(module_global<"cv2">(), name<"COLOR_RGB2LAB">());
    if (!code) return Ref();
    return single_pixel(call(cvt_color, {image, code}));
}

}  // namespace lq::matching
