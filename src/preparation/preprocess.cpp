// The image-level stages. Preprocessing: lighting normalisation and edge-preserving smoothing, CLAHE on
// the lightness channel written back into the LAB copy by slice assignment (no split and merge), then a
// bilateral filter on B, G, R. The feature space: OpenCV's 8-bit LAB, or R, G, B.
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "preparation/conversion.hpp"
#include "preparation/preparation.hpp"

namespace lq::preparation {
namespace {

// The index [:, :, 0]: the lightness channel of an H x W x 3 LAB image.
PyObject* make_lightness_index() {
    Ref all = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    Ref channel = Ref::steal(PyLong_FromLong(0));
    return make_tuple({all, all, channel}).release();
}
ConstantSlot lightness_index{&make_lightness_index};

Ref new_clahe() {
    Ref create = attr(module_global<"cv2">(), name<"createCLAHE">());
    return call(create, {},
                {Kw{name<"clipLimit">(), cached_float<3.0>()}, Kw{name<"tileGridSize">(), int_tuple<8, 8>()}});
}

// lab[:, :, 0] = clahe.apply(lab[:, :, 0])
int equalise_lightness(PyObject* lab) {
    Ref clahe = new_clahe();
    Ref apply = attr(clahe, name<"apply">());
    if (!apply) return -1;
    Ref equalised = call(apply, {opencv_array(item(lab, lightness_index.get()))});
    return set_item(lab, lightness_index.get(), equalised);
}

}  // namespace

Ref preprocess_image(ColorExtractor* self, PyObject* image) {
    if (!settings(self).preprocessing) return Ref::borrow(image);
    Ref lab = cvt_color(image, name<"COLOR_BGR2LAB">());
    if (!lab || equalise_lightness(lab.get()) < 0) return Ref();
    Ref bgr = cvt_color(lab, name<"COLOR_LAB2BGR">());
    if (!bgr) return Ref();
    Ref filter = attr(module_global<"cv2">(), name<"bilateralFilter">());
    return call(filter, {opencv_array(bgr), small_int<9>(), small_int<75>(), small_int<75>()});
}

Ref convert_to_feature_space(ColorExtractor* self, PyObject* image) {
    if (settings(self).lab_space) return cvt_color(image, name<"COLOR_BGR2LAB">());
    return cvt_color(image, name<"COLOR_BGR2RGB">());
}

}  // namespace lq::preparation
