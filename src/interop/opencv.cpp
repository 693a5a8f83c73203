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

}  // namespace lq
