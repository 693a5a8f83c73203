// Image preparation: loading images and masks given as paths, the stages between a loaded image and
// the pixel rows that clustering and matching work on, the counting of cluster shares, and the gate of
// the native fast paths. Functions return a new reference or 0, or null / -1 with an exception set; the
// frame adds the stage's traceback entry and checks its result type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "interop/globals.hpp"
#include "interop/ref.hpp"
#include "kernels/colour_table.hpp"
#include "kernels/distinct_rows.hpp"
#include "kernels/pixel_rows.hpp"
#include "model/extractor.hpp"
#include "preparation/admission.hpp"

namespace lq::preparation {

// The stage bodies.
Ref preprocess_image(ColorExtractor* self, PyObject* image);
Ref convert_to_feature_space(ColorExtractor* self, PyObject* image);
Ref apply_mask(ColorExtractor* self, PyObject* image, PyObject* mask);
Ref extract_pixels(ColorExtractor* self, PyObject* image, PyObject* mask);
Ref calculate_percentages(ColorExtractor* self, PyObject* labels);

// Whether OpenCV may be given the str `path` at all: no for a name without a UTF-8 form, with a NUL, or
// of a pipe, socket or device. The loaders read such paths as unreadable files; `images` in the
// package applies the same rule through the module function _opencv_takes_path, whose body is the
// second declaration (TypeError for anything but a str).
Applies opencv_takes_path(PyObject* path);
Ref opencv_takes_path_function(PyObject* path);

// What both image operations start with: the image and the mask loaded (the mask before the image's
// type is checked, so a bad mask path is reported first), then the stages run through their native
// entries (so overrides apply): preprocessing, feature space, pixel rows under the mask.
//
// A str (or subclass) is read with cv2.imread(path), as 3-channel B, G, R; an unreadable file raises
// ValueError "Could not load image from <path>" / "Could not load mask from <path>", and a file above
// the pixel budget (the module's max_image_pixels) ImageTooLargeError, read from its header before it
// is decoded. Any other object passes unchanged. Before an image is decoded (or, given as an array,
// before it is prepared) the whole operation's memory is admitted for its pixel count.
Ref prepared_pixels(ColorExtractor* self, PyObject* image, PyObject* mask,
                    admission::Analysis analysis = admission::Analysis::clustering);
// The same up to the feature image, with the loaded mask. 0, or -1 with an exception set.
int prepared_feature_image(ColorExtractor* self, PyObject* image, PyObject* mask, Ref* feature_image, Ref* loaded_mask,
                           admission::Analysis analysis = admission::Analysis::clustering);

// The module's pixel budget setting, max_image_pixels = None. 0, or -1 with an exception set.
int install_pixel_budget(PyObject* module);

// The gate of every native fast path: yes when `rows` is an exact numpy.ndarray of N x 3 uint8 values
// and each module global in `libraries` is still the object bound at import, so that native code may
// stand in for the library calls it was proven equal to.
Applies native_rows_apply(PyObject* rows, std::initializer_list<PyObject*> libraries);

// The kept pixels of a feature image under a mask (None, or a grey or B, G, R mask of the image's size),
// as a native pass reads them: yes with *pixels set (reading the image and *grey, the grey mask, which
// the caller keeps alive); no when the forms are not those the native pass was proven for (an exact
// 8-bit H x W x 3 image, an exact 8-bit mask, np and cv2 as imported) and the array operations are to
// run. Whether the stages it replaces are overridden is the caller's to check.
Applies native_pixels(PyObject* image, PyObject* mask, kernels::ImagePixels* pixels, Ref* grey);

// A private, contiguous copy of rows that passed the gate, made while the GIL is held: kernels read it
// with the GIL released, when other threads may be writing to the caller's array. Its memory is not
// zeroed first: the copy writes every byte.
struct PrivateRows {
    std::vector<std::uint8_t, kernels::UninitialisedLargeAllocator<std::uint8_t>> bytes;
    std::ptrdiff_t count = 0;
    kernels::ByteRows view() const noexcept { return {bytes.data(), count, 3, 1}; }
};

// 0, or -1 with MemoryError set.
int copy_rows(PyObject* rows, PrivateRows* out);

}  // namespace lq::preparation
