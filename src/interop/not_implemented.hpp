// Placeholder for method bodies that are not built yet.
#pragma once

#include "interop/ref.hpp"

namespace lq {

inline Ref not_implemented(const char* method) {
    PyErr_Format(PyExc_NotImplementedError, "%s() is not implemented yet", method);
    return Ref();
}

}  // namespace lq
