// The kept pixels as rows of three channel values, in image order, without blank (all-zero) rows.
#include "frame/stages.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "interop/process_state.hpp"
#include "preparation/mask_selection.hpp"
#include "preparation/preparation.hpp"

namespace lq::preparation {
namespace {

Ref all_pixel_rows(PyObject* image) {
    return call_method(image, name<"reshape">(), {small_int<-1>(), small_int<3>()});
}

// The rows of the masked image whose mask grey value is above 128; the mask goes through the
// _apply_mask entry, so a subclass's blanking is honoured.
Ref selected_pixel_rows(ColorExtractor* self, PyObject* image, PyObject* mask) {
    if (!check_instance_or_none(mask, ndarray_type())) return Ref();  // mask is not None here
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
