// Unpacking a result into exactly two values, as `a, b = result` does.
#pragma once

#include "interop/ref.hpp"

namespace lq {

// 0 with both values set, or -1 with ValueError/TypeError set as the interpreter's unpacking gives.
int unpack_pair(PyObject* object, Ref* first, Ref* second);

}  // namespace lq
