// Blanking everything outside a mask. A pixel is inside when its grey value is strictly above 128; a
// three-dimensional mask is reduced to grey first. The mask is never resized: OpenCV rejects a mask of
// another size.
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/opencv.hpp"
#include "preparation/mask_selection.hpp"
#include "preparation/preparation.hpp"

namespace lq::preparation {

int has_three_dimensions(PyObject* mask) {
    Ref shape = attr(mask, name<"shape">());
    if (!shape) return -1;
    const Py_ssize_t dimensions = PyObject_Length(shape.get());
    if (dimensions < 0) return -1;
    return dimensions == 3;
}

Ref grey_mask(PyObject* mask) {
    const int three_dimensional = has_three_dimensions(mask);
    if (three_dimensional < 0) return Ref();
    if (three_dimensional) return cvt_color(mask, name<"COLOR_BGR2GRAY">());
    return Ref::borrow(mask);
}

Ref inside_mask(PyObject* grey) { return Ref::steal(PyObject_RichCompare(grey, small_int<128>(), Py_GT)); }

Ref apply_mask(ColorExtractor*, PyObject* image, PyObject* mask) {
    if (mask == Py_None) return Ref::borrow(image);
    Ref grey = grey_mask(mask);
    Ref inside = grey ? inside_mask(grey.get()) : Ref();
    Ref scaled = inside ? Ref::steal(PyNumber_Multiply(inside.get(), small_int<255>())) : Ref();
    Ref uint8 = scaled ? attr(module_global<"np">(), name<"uint8">()) : Ref();
    Ref binary = call_method(scaled, name<"astype">(), {uint8});
    if (!binary) return Ref();
    Ref bitwise_and = attr(module_global<"cv2">(), name<"bitwise_and">());
    Ref source = opencv_array(image);
    return call(bitwise_and, {source, source}, {Kw{name<"mask">(), opencv_array(binary)}});
}

}  // namespace lq::preparation
