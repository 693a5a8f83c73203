// Module globals are looked up at the moment of use, so rebinding one (say cv2) on the module object
// changes what every later call does.
#pragma once

#include "interop/constants.hpp"
#include "interop/ref.hpp"

namespace lq {

// The global `name` from the module's dictionary, else from builtins, else NameError.
Ref module_global(PyObject* name);

template <FixedString S>
Ref module_global() { return module_global(name<S>()); }

// 1 when the global `name` is still the object the module's imports bound to it, 0 when it was
// rebound or deleted, -1 with an exception set on failure.
int global_is_as_imported(PyObject* name);

}  // namespace lq
