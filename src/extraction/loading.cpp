// Reading the image and the mask from file paths.
#include "extraction/steps.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/process_state.hpp"

namespace lq::extraction {
namespace {

// 1 when OpenCV's imread can be given the path: OpenCV converts it to UTF-8 without checking the
// result, and a str with lone surrogates (how Python spells a file name whose bytes are not UTF-8) has
// no UTF-8 form, so the conversion fails and OpenCV crashes. A stand-in bound as `cv2` takes any path.
// 0 when not, -1 with an exception set.
int imread_takes(PyObject* path) {
    const int opencv = global_is_as_imported(name<"cv2">());
    if (opencv <= 0) return opencv < 0 ? -1 : 1;
    if (PyUnicode_AsUTF8AndSize(path, nullptr)) return 1;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
    PyErr_Clear();
    return 0;
}

// cv2.imread(path) with the path as its only argument, so files are read as 3-channel B, G, R;
// None from OpenCV (an unreadable file) becomes ValueError "<failure><path>". A path OpenCV cannot
// take ends the same way, at the same step.
Ref load(PyObject* source, const char* failure) {
    if (!PyUnicode_Check(source)) return Ref::borrow(source);
    Ref imread = attr(module_global<"cv2">(), name<"imread">());
    if (!imread) return Ref();
    const int readable = imread_takes(source);
    if (readable < 0) return Ref();
    Ref loaded = readable ? call(imread, {source}) : Ref::none();
    if (!loaded || !loaded.is_none()) return loaded;
    Ref message = Ref::steal(PyUnicode_FromFormat("%s%U", failure, source));
    if (message) PyErr_SetObject(process_state().ValueError, message.get());
    return Ref();
}

}  // namespace

Ref load_image(PyObject* image) { return load(image, "Could not load image from "); }

Ref load_mask(PyObject* mask) { return load(mask, "Could not load mask from "); }

}  // namespace lq::extraction
