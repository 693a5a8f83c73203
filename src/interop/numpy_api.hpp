// NumPy's native array interface, built against the NumPy 2 headers with the default (older) target
// API so that one binary runs with NumPy 1.26 and 2.x. Exactly one unit imports the table.
#pragma once

#include "interop/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL LUMVARDE_QUORLE_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef LQ_IMPORTS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "interop/ref.hpp"

namespace lq {

// The array behind an object already known to be an ndarray (checked, or made by NumPy itself).
inline PyArrayObject* as_array(Arg object) noexcept { return reinterpret_cast<PyArrayObject*>(object.ptr); }

}  // namespace lq
