// The module globals. Library globals are looked up at the moment of use, so rebinding one (say cv2) on
// the module object changes what every later call does.
//
// Most library globals are bound the first time anything looks them up (the native lookups below, the
// module's __getattr__ and __dir__), not when the module executes: scikit-learn and pyplot alone take
// seconds to import, and the catalogue's queries need neither. Once bound, a global is an ordinary entry
// of the module's dictionary: rebinding or deleting it works as for any other.
#pragma once

#include <array>
#include <span>

#include "interop/applies.hpp"
#include "interop/constants.hpp"
#include "interop/ref.hpp"
#include "interop/state.hpp"

// The module's full name, part of every qualified name, traceback entry and stored pickle.
#define LQ_MODULE_NAME "lumvarde_quorle.color_extractor_cy"

namespace lq {

inline constexpr const char* module_name = LQ_MODULE_NAME;

inline PyTypeObject* ndarray_type() noexcept { return reinterpret_cast<PyTypeObject*>(process_state().ndarray.get()); }

// A module global holding a library object: `import module` (the module itself, not its top package)
// or `from module import attribute`.
struct LibraryGlobal {
    const char* name;
    const char* module;
    const char* attribute = nullptr;
    // Bound while the module executes rather than on first use: names the module's own annotations use.
    bool at_import = false;
    // Attributes (say KMeans.fit) remembered as the library object has them, for attribute_is_as_imported.
    std::array<const char*, 2> remembered{};
};

// Takes the module's library globals (a static table, kept by pointer) and binds the at_import ones into
// the module's dictionary. 0, or -1 with an exception set.
int use_library_globals(std::span<const LibraryGlobal> table);

// The global `name` from the module's dictionary (a library global bound now if this is its first
// lookup), else from builtins, else NameError.
Ref module_global(PyObject* name);

template <FixedString S>
Ref module_global() {
    return module_global(name<S>());
}

// The module's __getattr__: a library global not bound yet, bound now; else AttributeError.
Ref library_global_attribute(PyObject* name);

// The module's __dir__: the dictionary's names and those of the library globals not bound yet.
Ref module_names();

// Whether the global `name` is still the object its library import gives (no when it was rebound or
// deleted). A global rebound before its library was ever imported is not compared by importing it.
Applies global_is_as_imported(PyObject* name);

// Whether `global_name`.`attribute` (say KMeans.fit) is still the object it was when the library was
// imported: the global as imported, and the attribute not replaced on it (a test double patched onto the
// library's class). Only attributes listed in the global's `remembered` are known.
Applies attribute_is_as_imported(const char* global_name, const char* attribute);

}  // namespace lq
