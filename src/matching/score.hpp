// The closeness score both target-colour reports give: (scale - distance) / scale * 100, computed with
// the interpreter's number protocol (subtraction, true division, multiplication by the int 100) and kept
// when above 0, else the int 0.
#pragma once

#include "interop/ref.hpp"

namespace lq::matching {

Ref clamped_score(PyObject* scale, PyObject* distance);

}  // namespace lq::matching
