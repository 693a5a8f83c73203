// The module globals. Library globals are looked up at the moment of use, so rebinding one (say cv2) on
// the module object changes what every later call does.
#pragma once

#include "interop/applies.hpp"
#include "interop/constants.hpp"
#include "interop/ref.hpp"
#include "interop/state.hpp"

// The module's full name, part of every qualified name, traceback entry and stored pickle.
#define LQ_MODULE_NAME "lumvarde_quorle.color_extractor_cy"

namespace lq {

inline constexpr const char* module_name = LQ_MODULE_NAME;

inline PyTypeObject* ndarray_type() noexcept { return reinterpret_cast<PyTypeObject*>(process_state().ndarray.get()); }

// The global `name` from the module's dictionary, else from builtins, else NameError.
Ref module_global(PyObject* name);

template <FixedString S>
Ref module_global() {
    return module_global(name<S>());
}

// Whether the global `name` is still the object the module's imports bound to it (no when it was
// rebound or deleted).
Applies global_is_as_imported(PyObject* name);

// Whether `global_name`.`attribute` (say KMeans.fit) is still the object it was at import: the global as
// imported, and the attribute not replaced on it (a test double patched onto the library's class).
// Recorded by remember_attribute at initialisation.
Applies attribute_is_as_imported(const char* global_name, const char* attribute);
int remember_attribute(const char* global_name, const char* attribute);

}  // namespace lq
