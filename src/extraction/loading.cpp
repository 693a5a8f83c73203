// Reading the image and the mask from file paths.
#include "extraction/steps.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/process_state.hpp"

namespace lq::extraction {
namespace {

// cv2.imread(path) with the path as its only argument, so files are read as 3-channel B, G, R;
// None from OpenCV (an unreadable file) becomes ValueError "<failure><path>".
Ref load(PyObject* source, const char* failure) {
    if (!PyUnicode_Check(source)) return Ref::borrow(source);
    Ref loaded = call_method(module_global<"cv2">(), name<"imread">(), {source});
    if (!loaded || !loaded.is_none()) return loaded;
    Ref message = Ref::steal(PyUnicode_FromFormat("%s%U", failure, source));
    if (message) PyErr_SetObject(process_state().ValueError, message.get());
    return Ref();
}

}  // namespace

Ref load_image(PyObject* image) { return load(image, "Could not load image from "); }

Ref load_mask(PyObject* mask) { return load(mask, "Could not load mask from "); }

}  // namespace lq::extraction
