// Persisted state: the reduce and set-state operations and the module-level unpickle function.
#pragma once

#include "interop/ref.hpp"
#include "model/extractor.hpp"

namespace lq::pickling {

Ref reduce(ColorExtractor* self);
// `state` is the argument as given (checked here: exactly a tuple, or None).
Ref set_state(ColorExtractor* self, PyObject* state);
Ref unpickle(PyObject* type, PyObject* checksum, PyObject* state);

// Installs __reduce__ / __setstate__ from the static method table, unless the class customises
// pickling itself. -1 with RuntimeError set on failure.
int install_hooks(PyTypeObject* type);

}  // namespace lq::pickling
