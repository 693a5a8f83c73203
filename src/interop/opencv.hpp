// OpenCV calls that several subsystems make, looked up through the module global `cv2` at the moment
// of use, in the order `cv2.cvtColor(image, cv2.CODE)` evaluates.
#pragma once

#include "interop/ref.hpp"

namespace lq {

// cv2.cvtColor(image, cv2.<code_name>)
Ref cvt_color(Arg image, PyObject* code_name);

}  // namespace lq
