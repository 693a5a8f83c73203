// The mask's grey value and its inside test, shared by blanking and by row selection so that both
// select exactly the same pixels.
#pragma once

#include "interop/ref.hpp"

namespace lq::preparation {

// 1 when the mask's shape has three dimensions, 0 otherwise, -1 on error.
int has_three_dimensions(PyObject* mask);

// cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY) for a three-dimensional mask, else the mask itself.
Ref grey_mask(PyObject* mask);

// grey > 128, element-wise.
Ref inside_mask(PyObject* grey);

}  // namespace lq::preparation
