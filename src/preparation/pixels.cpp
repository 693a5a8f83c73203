// The kept pixels as rows of three channel values, in image order, without blank (all-zero) rows.
// Blanking outside a mask and selecting the rows under it use the same grey value and inside test, so
// that both select exactly the same pixels: a pixel is inside when its grey value is strictly above
// 128, a three-dimensional mask being reduced to grey first. The mask is never resized: OpenCV rejects
// a mask of another size.
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "interop/kernel.hpp"
#include "interop/numpy_api.hpp"
#include "model/stages.hpp"
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
Ref inside_mask(Arg grey) { return compare(grey, small_int<128>(), Py_GT); }

}  // namespace

Ref apply_mask(ColorExtractor*, PyObject* image, PyObject* mask) {
    if (mask == Py_None) return Ref::borrow(image);
    Ref scaled = multiply(inside_mask(grey_mask(mask)), small_int<255>());
    Ref uint8 = scaled ? attr(module_global<"np">(), name<"uint8">()) : Ref();
    Ref binary = call_method(scaled, name<"astype">(), {uint8});
    if (!binary) return Ref();
    Ref bitwise_and = attr(module_global<"cv2">(), name<"bitwise_and">());
    Ref source = opencv_array(image);
    return call(bitwise_and, {source, source}, {Kw{name<"mask">(), opencv_array(binary)}});
}

namespace {

Ref all_pixel_rows(PyObject* image) { return call_method(image, name<"reshape">(), {small_int<-1>(), small_int<3>()}); }

// The rows of the masked image whose mask grey value is above 128; the mask goes through the
// _apply_mask entry, so a subclass's blanking is honoured.
Ref selected_pixel_rows(ColorExtractor* self, PyObject* image, PyObject* mask) {
    if (check_instance_or_none(mask, ndarray_type()) < 0) return Ref();  // mask is not None here
    Ref masked = stage::apply_mask(self, image, mask);
    if (!masked) return Ref();
    return item(masked, inside_mask(grey_mask(mask)));
}

// rows[~np.all(rows == 0, axis=1)]
Ref without_blank_rows(PyObject* rows) {
    Ref all = attr(module_global<"np">(), name<"all">());
    if (!all) return Ref();
    Ref blank = call(all, {compare(rows, small_int<0>(), Py_EQ)}, {Kw{name<"axis">(), small_int<1>()}});
    return item(rows, invert(blank));
}

}  // namespace

Applies native_pixels(PyObject* image, PyObject* mask, kernels::ImagePixels* pixels, Ref* grey) {
    if (!PyArray_CheckExact(image)) return Applies::no;
    auto* array = as_array(image);
    if (PyArray_TYPE(array) != NPY_UBYTE || PyArray_NDIM(array) != 3 || PyArray_DIM(array, 2) != 3) return Applies::no;
    for (PyObject* library : {name<"np">(), name<"cv2">()}) {
        const Applies same = global_is_as_imported(library);
        if (same != Applies::yes) return same;
    }
    *pixels = kernels::ImagePixels{static_cast<const std::uint8_t*>(PyArray_DATA(array)),
                                   PyArray_DIM(array, 0),
                                   PyArray_DIM(array, 1),
                                   PyArray_STRIDE(array, 0),
                                   PyArray_STRIDE(array, 1),
                                   PyArray_STRIDE(array, 2)};
    if (mask == Py_None) return Applies::yes;
    auto same_size = [&](PyObject* candidate, int dimensions) {
        auto* given = as_array(candidate);
        return PyArray_CheckExact(candidate) && PyArray_TYPE(given) == NPY_UBYTE && PyArray_NDIM(given) == dimensions &&
               PyArray_DIM(given, 0) == pixels->height && PyArray_DIM(given, 1) == pixels->width &&
               (dimensions == 2 || PyArray_DIM(given, 2) == 3);
    };
    if (same_size(mask, 3)) {
        *grey = grey_mask(mask);
        if (!*grey) return Applies::error;
        if (!same_size(grey->get(), 2)) return Applies::no;
    } else if (same_size(mask, 2)) {
        *grey = Ref::borrow(mask);
    } else {
        return Applies::no;
    }
    auto* grey_array = as_array(grey->get());
    pixels->mask = static_cast<const std::uint8_t*>(PyArray_DATA(grey_array));
    pixels->mask_row_stride = PyArray_STRIDE(grey_array, 0);
    pixels->mask_column_stride = PyArray_STRIDE(grey_array, 1);
    return Applies::yes;
}

namespace {

// The rows in one native pass, where the forms allow and the mask's blanking is the module's own.
Applies native_rows(ColorExtractor* self, PyObject* image, PyObject* mask, Ref* rows) {
    if (mask != Py_None) {
        const Applies own = stage::runs_own(self, Stage::apply_mask);
        if (own != Applies::yes) return own;
    }
    kernels::ImagePixels pixels{};
    Ref grey;
    const Applies applies = native_pixels(image, mask, &pixels, &grey);
    if (applies != Applies::yes) return applies;
    // The image and mask may be the caller's, which other threads may write to: read with the GIL held.
    std::ptrdiff_t count = 0;
    if (run_kernel([&](kernels::Stop& stop) { count = kernels::count_kept(pixels, stop); }) < 0) return Applies::error;
    npy_intp dims[2] = {static_cast<npy_intp>(count), 3};
    *rows = Ref::steal(PyArray_SimpleNew(2, dims, NPY_UINT8));
    if (!*rows) return Applies::error;
    auto* out = static_cast<std::uint8_t*>(PyArray_DATA(as_array(rows->get())));
    if (run_kernel([&](kernels::Stop& stop) { kernels::copy_kept(pixels, out, stop); }) < 0) return Applies::error;
    return Applies::yes;
}

}  // namespace

Ref extract_pixels(ColorExtractor* self, PyObject* image, PyObject* mask) {
    Ref native;
    const Applies done = native_rows(self, image, mask, &native);
    if (done == Applies::error) return Ref();
    if (done == Applies::yes) return native;
    Ref rows = mask == Py_None ? all_pixel_rows(image) : selected_pixel_rows(self, image, mask);
    if (!rows) return Ref();
    return without_blank_rows(rows.get());
}

}  // namespace lq::preparation
