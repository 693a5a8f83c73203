// Unpacking of a value into a fixed number of names, as the interpreter's `a, b = value` does.
#pragma once

#include "interop/ref.hpp"

namespace lq {

// `*first, *second = value` with the interpreter's errors (a non-iterable, too few or too many
// values); 0 on success, -1 with an exception set.
int unpack_pair(PyObject* value, Ref* first, Ref* second);

}  // namespace lq
