// The kept pixels as rows of three channel values, in image order, without blank (all-zero) rows.
// Blanking outside a mask and selecting the rows under it use the same grey value and inside test, so
// that both select exactly the same pixels: a pixel is inside when its grey value is strictly above
// 128, a three-dimensional mask being reduced to grey first. The mask is never resized: OpenCV rejects
// a mask of another size.
#include "frame/stages.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "preparation/conversion.hpp"
#include "preparation/preparation.hpp"

namespace lq::preparation {
namespace {

// len(mask.shape), -1 with an exception set.
Py_ssize_t dimensions(PyObject* mask) {
    Ref shape = attr(mask, name<"shape">());
    return shape ? PyObject_Length(shape.get()) : -1;
}

// cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY) for a three-dimensional mask, else the mask itself.
Ref grey_mask(PyObject* mask) {
    const Py_ssize_t count = dimensions(mask);
    if (count < 0) return Ref();
    if (count == 3) return cvt_color(mask, name<"COLOR_BGR2GRAY">());
    return Ref::borrow(mask);
}

// grey > 128, element-wise.
Ref inside_mask(PyObject* grey) { return Ref::steal(PyObject_RichCompare(grey, small_int<128>(), Py_GT)); }

}  // namespace

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

namespace {

Ref all_pixel_rows(PyObject* image) {
    return call_method(image, name<"reshape">(), {small_int<-1>(), small_int<3>()});
}

// The rows of the masked image whose mask grey value is above 128; the mask goes through the
// _apply_mask entry, so a subclass's blanking is honoured.
Ref selected_pixel_rows(ColorExtractor* self, PyObject* image, PyObject* mask) {
    if (check_instance_or_none(mask, ndarray_type()) < 0) return Ref();  // mask is not None here
    Ref masked = stage::apply_mask(self, image, mask);
    if (!masked) return Ref();
    Ref grey = grey_mask(mask);
    Ref selection = grey ? inside_mask(grey.get()) : Ref();
    return item(masked, selection);
}

// rows[~np.all(rows == 0, axis=1)]
Ref without_blank_rows(PyObject* rows) {
    Ref all = attr(module_global<"np">(), name<"all">());
    if (!all) return Ref();
    Ref zero = Ref::steal(PyObject_RichCompare(rows, small_int<0>(), Py_EQ));
    Ref blank = call(all, {zero}, {Kw{name<"axis">(), small_int<1>()}});
    Ref kept = blank ? Ref::steal(PyNumber_Invert(blank.get())) : Ref();
    return item(rows, kept);
}

}  // namespace

Ref extract_pixels(ColorExtractor* self, PyObject* image, PyObject* mask) {
    Ref rows = mask == Py_None ? all_pixel_rows(image) : selected_pixel_rows(self, image, mask);
    if (!rows) return Ref();
    return without_blank_rows(rows.get());
}

}  // namespace lq::preparation
