// The module function _colour_distribution: the binding of the colour distribution kernel
// (kernels/colour_distribution.hpp), which describes the record format.
#pragma once

#include "interop/ref.hpp"

namespace lq {

// bytes of the records of `image` (an 8-bit H x W x 3 array, B, G, R) under `mask` (None or an 8-bit
// H x W array; pixels above 128 are analysed). TypeError or ValueError for anything else.
Ref colour_distribution(PyObject* image, PyObject* mask);

}  // namespace lq
