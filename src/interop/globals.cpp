#include "interop/globals.hpp"

namespace lq {

Ref module_global(PyObject* name) {
    // Looked up as an argument after an earlier step failed: leave that exception alone.
    if (!name || PyErr_Occurred()) return Ref();
    const ProcessState& state = process_state();
    if (state.globals) {
        PyObject* found = PyDict_GetItemWithError(state.globals, name);
        if (found) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    if (state.builtins) {
        Ref found = Ref::steal(PyObject_GetAttr(state.builtins.get(), name));
        if (found) return found;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

Applies global_is_as_imported(PyObject* name) {
    const ProcessState& state = process_state();
    if (!name) return Applies::error;
    if (!state.globals || !state.imported) return Applies::no;
    PyObject* original = PyDict_GetItemWithError(state.imported.get(), name);
    if (!original) return PyErr_Occurred() ? Applies::error : Applies::no;
    PyObject* current = PyDict_GetItemWithError(state.globals, name);
    if (!current) return PyErr_Occurred() ? Applies::error : Applies::no;
    return current == original ? Applies::yes : Applies::no;
}

namespace {

Ref dotted(const char* global_name, const char* attribute) {
    return Ref::steal(PyUnicode_FromFormat("%s.%s", global_name, attribute));
}

}  // namespace

int remember_attribute(const char* global_name, const char* attribute) {
    const ProcessState& state = process_state();
    PyObject* owner = PyDict_GetItemString(state.imported.get(), global_name);
    if (!owner) return 0;
    Ref value = Ref::steal(PyObject_GetAttrString(owner, attribute));
    Ref key = value ? dotted(global_name, attribute) : Ref();
    if (!key) return -1;
    return PyDict_SetItem(state.imported.get(), key.get(), value.get());
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
    Ref current = Ref::steal(PyObject_GetAttrString(PyDict_GetItem(state.globals, global.get()), attribute));
    if (!current) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Applies::error;
        PyErr_Clear();
        return Applies::no;
    }
    return current.is(original) ? Applies::yes : Applies::no;
}

}  // namespace lq
