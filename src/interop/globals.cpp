#include "interop/globals.hpp"

namespace lq {
namespace {

std::span<const LibraryGlobal> library_globals() noexcept {
    const ProcessState& state = process_state();
    return {state.library_globals, state.library_global_count};
}

// The index of the library global called `name`, or -1.
std::ptrdiff_t library_global_index(PyObject* name) noexcept {
    if (!name || !PyUnicode_Check(name)) return -1;
    const std::span<const LibraryGlobal> table = library_globals();
    for (std::size_t index = 0; index < table.size(); ++index)
        if (PyUnicode_CompareWithASCIIString(name, table[index].name) == 0) return static_cast<std::ptrdiff_t>(index);
    return -1;
}

bool is_bound(std::size_t index) noexcept { return (process_state().bound_library_globals >> index) & 1u; }

Ref dotted(const char* global_name, const char* attribute) {
    return Ref::steal(PyUnicode_FromFormat("%s.%s", global_name, attribute));
}

// True when the module's __spec__ says that it is still being initialised (a circular import).
int is_initialising(PyObject* module) {
    Ref spec = Ref::steal(PyObject_GetAttr(module, name<"__spec__">()));
    if (!spec) {
        PyErr_Clear();
        return 0;
    }
    Ref initialising = Ref::steal(PyObject_GetAttr(spec.get(), name<"_initializing">()));
    if (!initialising) {
        PyErr_Clear();
        return 0;
    }
    return PyObject_IsTrue(initialising.get());
}

// `import a.b`: the module itself (a.b, not a), reusing an entry of the module table unless it is
// still initialising (the import then waits for the thread initialising it).
Ref import_module(const Ref& module_name) {
    if (!module_name) return Ref();
    Ref module = Ref::steal(PyImport_GetModule(module_name.get()));
    if (module && !module.is_none()) {  // None blocks the import: the import says so
        const int initialising = is_initialising(module.get());
        if (initialising < 0) return Ref();
        if (!initialising) return module;
    } else if (PyErr_Occurred()) {
        return Ref();
    }
    Ref top =
        Ref::steal(PyImport_ImportModuleLevelObject(module_name.get(), process_state().globals, nullptr, nullptr, 0));
    if (!top) return Ref();
    return Ref::steal(PyImport_GetModule(module_name.get()));
}

// `from module import name`: the attribute, else the submodule module.name, imported if need be.
Ref import_from(PyObject* module, const char* dotted_name, const char* attribute) {
    Ref value = Ref::steal(PyObject_GetAttrString(module, attribute));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%s.%s", dotted_name, attribute));
    Ref submodule = import_module(full_name);
    if (submodule || !PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return submodule;
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", attribute, dotted_name);
    return Ref();
}

// The entry's import and its remembered attributes. A failure is an ImportError naming the global, with
// the library's own exception as its cause: it surfaces at the global's first use, far from any import
// statement. KeyboardInterrupt and the like stay themselves.
Ref import_library(const LibraryGlobal& entry, std::array<Ref, 2>* remembered) {
    Ref module = import_module(Ref::steal(PyUnicode_FromString(entry.module)));
    Ref value = module && entry.attribute ? import_from(module.get(), entry.module, entry.attribute) : module;
    for (std::size_t i = 0; value && i < entry.remembered.size(); ++i)
        if (entry.remembered[i] &&
            !((*remembered)[i] = Ref::steal(PyObject_GetAttrString(value.get(), entry.remembered[i]))))
            value.reset();
    if (value || !PyErr_ExceptionMatches(PyExc_Exception)) return value;
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    if (entry.attribute)
        PyErr_Format(PyExc_ImportError, "%s needs %s from %s, which cannot be imported: %S", module_name,
                     entry.attribute, entry.module, cause.get());
    else
        PyErr_Format(PyExc_ImportError, "%s needs %s, which cannot be imported: %S", module_name, entry.module,
                     cause.get());
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    PyException_SetCause(raised.get(), Ref(cause).release());
    PyException_SetContext(raised.get(), cause.release());
    PyErr_SetRaisedException(raised.release());
    return Ref();
}

// The object the library import of global `index` gives, imported now unless known. With `loaded_only`,
// null without an exception when the library's module was never imported: nothing can hold its objects.
Ref library_object(std::size_t index, PyObject* name, bool loaded_only) {
    const ProcessState& state = process_state();
    PyObject* known = PyDict_GetItemWithError(state.imported.get(), name);
    if (known) return Ref::borrow(known);
    if (PyErr_Occurred()) return Ref();
    const LibraryGlobal& entry = library_globals()[index];
    if (loaded_only) {
        Ref module_name = Ref::steal(PyUnicode_FromString(entry.module));
        Ref loaded = module_name ? Ref::steal(PyImport_GetModule(module_name.get())) : Ref();
        if (!loaded || loaded.is_none()) return Ref();  // None: its import is blocked
    }
    std::array<Ref, 2> remembered;
    Ref value = import_library(entry, &remembered);
    if (!value) return Ref();
    // Threads importing at once get the same objects from the module table; the first to get here
    // records them. The attributes go first, so that a known global always has its attributes known.
    for (std::size_t i = 0; i < remembered.size(); ++i) {
        Ref key = remembered[i] ? dotted(entry.name, entry.remembered[i]) : Ref();
        if (remembered[i] && (!key || !PyDict_SetDefault(state.imported.get(), key.get(), remembered[i].get())))
            return Ref();
    }
    return Ref::borrow(PyDict_SetDefault(state.imported.get(), name, value.get()));
}

// Binds library global `index` into the module's dictionary unless it was bound before; what the
// dictionary then holds, or null without an exception when it holds nothing (deleted after binding).
Ref bind(std::size_t index, PyObject* name) {
    if (is_bound(index)) return Ref();
    Ref value = library_object(index, name, false);  // the import may let other threads run
    ProcessState& state = process_state();
    if (!value || !state.globals) return Ref();
    if (!is_bound(index)) {
        // A value the program set meanwhile stands, as it would over a global bound at import.
        if (!PyDict_SetDefault(state.globals, name, value.get())) return Ref();
        state.bound_library_globals |= std::uint64_t{1} << index;
    }
    PyObject* current = PyDict_GetItemWithError(state.globals, name);
    return Ref::borrow(current);
}

// The module dictionary's entry for `name`, binding a library global on its first lookup; null without
// an exception when there is none.
Ref current_global(PyObject* name) {
    const ProcessState& state = process_state();
    if (!state.globals) return Ref();
    PyObject* found = PyDict_GetItemWithError(state.globals, name);
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) return Ref();
    const std::ptrdiff_t index = library_global_index(name);
    return index < 0 ? Ref() : bind(static_cast<std::size_t>(index), name);
}

}  // namespace

int use_library_globals(std::span<const LibraryGlobal> table) {
    ProcessState& state = process_state();
    if (table.size() > 64) {
        PyErr_SetString(PyExc_SystemError, "more library globals than bits to mark them bound");
        return -1;
    }
    if (!state.imported && !(state.imported = Ref::steal(PyDict_New()))) return -1;
    state.library_globals = table.data();
    state.library_global_count = table.size();
    state.bound_library_globals = 0;  // a new execution has a new dictionary
    for (std::size_t index = 0; index < table.size(); ++index) {
        if (!table[index].at_import) continue;
        Ref global = Ref::steal(PyUnicode_FromString(table[index].name));
        if (!global || !bind(index, global.get())) return -1;
    }
    return 0;
}

Ref module_global(PyObject* name) {
    // Looked up as an argument after an earlier step failed: leave that exception alone.
    if (!name || PyErr_Occurred()) return Ref();
    Ref found = current_global(name);
    if (found || PyErr_Occurred()) return found;
    const ProcessState& state = process_state();
    if (state.builtins) {
        found = Ref::steal(PyObject_GetAttr(state.builtins.get(), name));
        if (found) return found;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

Ref library_global_attribute(PyObject* name) {
    Ref found = current_global(name);
    if (found || PyErr_Occurred()) return found;
    PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%S'", module_name, name);
    return Ref();
}

Ref module_names() {
    const ProcessState& state = process_state();
    Ref names = Ref::steal(state.globals ? PyDict_Keys(state.globals) : PyList_New(0));
    const std::span<const LibraryGlobal> table = library_globals();
    for (std::size_t index = 0; names && index < table.size(); ++index) {
        if (is_bound(index)) continue;
        Ref global = Ref::steal(PyUnicode_FromString(table[index].name));
        const int listed = global ? PySequence_Contains(names.get(), global.get()) : -1;
        if (listed < 0 || (!listed && PyList_Append(names.get(), global.get()) < 0)) return Ref();
    }
    if (!names || PyList_Sort(names.get()) < 0) return Ref();
    return names;
}

Applies global_is_as_imported(PyObject* name) {
    const ProcessState& state = process_state();
    if (!name) return Applies::error;
    if (!state.globals || !state.imported) return Applies::no;
    Ref current = current_global(name);
    if (!current) return PyErr_Occurred() ? Applies::error : Applies::no;
    const std::ptrdiff_t index = library_global_index(name);
    Ref original = index < 0 ? Ref() : library_object(static_cast<std::size_t>(index), name, true);
    if (!original) return PyErr_Occurred() ? Applies::error : Applies::no;
    return current.is(original.get()) ? Applies::yes : Applies::no;
}

Applies attribute_is_as_imported(const char* global_name, const char* attribute) {
    const ProcessState& state = process_state();
    Ref global = Ref::steal(PyUnicode_FromString(global_name));
    if (!global) return Applies::error;
    const Applies same_global = global_is_as_imported(global.get());
    if (same_global != Applies::yes) return same_global;
    Ref key = dotted(global_name, attribute);
    if (!key) return Applies::error;
    PyObject* original = PyDict_GetItemWithError(state.imported.get(), key.get());
    if (!original) return PyErr_Occurred() ? Applies::error : Applies::no;
    Ref owner = current_global(global.get());
    if (!owner) return PyErr_Occurred() ? Applies::error : Applies::no;
    Ref current = Ref::steal(PyObject_GetAttrString(owner.get(), attribute));
    if (!current) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Applies::error;
        PyErr_Clear();
        return Applies::no;
    }
    return current.is(original) ? Applies::yes : Applies::no;
}

}  // namespace lq
