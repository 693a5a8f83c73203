// The process-wide state written while the module executes and only read afterwards, and the module
// globals. Library globals are looked up at the moment of use, so rebinding one (say cv2) on the module
// object changes what every later call does.
#pragma once

#include "interop/applies.hpp"
#include "interop/constants.hpp"
#include "interop/ref.hpp"

// The module's full name, part of every qualified name, traceback entry and stored pickle.
#define LQ_MODULE_NAME "lumvarde_quorle.color_extractor_cy"

namespace lq {

inline constexpr const char* module_name = LQ_MODULE_NAME;

// Nothing here is released while the process lives.
struct ProcessState {
    PyObject* module = nullptr;   // set by a successful execution, cleared by a failed one
    PyObject* globals = nullptr;  // the module's dictionary
    PyObject* builtins = nullptr;
    PyTypeObject* ndarray = nullptr;
    // Built-ins fetched once at initialisation.
    PyObject* ValueError = nullptr;
    PyObject* zip = nullptr;
    PyObject* round = nullptr;
    PyObject* ImportError = nullptr;
    PyObject* enumerate = nullptr;
    // The library objects as the imports bound them, for fast paths that may only replace the very
    // library calls they were proven equal to.
    PyObject* imported = nullptr;  // dict: global name -> object bound at import
    // dict: (library call, reason) -> how often the native K-means left that call to the library;
    // published as the module's _kmeans_fallbacks, for diagnostics.
    PyObject* kmeans_fallbacks = nullptr;
};

ProcessState& process_state() noexcept;

inline PyTypeObject* ndarray_type() noexcept { return process_state().ndarray; }

// The global `name` from the module's dictionary, else from builtins, else NameError.
Ref module_global(PyObject* name);

template <FixedString S>
Ref module_global() { return module_global(name<S>()); }

// Whether the global `name` is still the object the module's imports bound to it (no when it was
// rebound or deleted).
Applies global_is_as_imported(PyObject* name);

// Whether `global_name`.`attribute` (say KMeans.fit) is still the object it was at import: the global as
// imported, and the attribute not replaced on it (a test double patched onto the library's class).
// Recorded by remember_attribute at initialisation.
Applies attribute_is_as_imported(const char* global_name, const char* attribute);
int remember_attribute(const char* global_name, const char* attribute);

}  // namespace lq
