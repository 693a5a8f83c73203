#include "interop/globals.hpp"

namespace lq {

ProcessState& process_state() noexcept {
    static ProcessState state;
    return state;
}

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
        Ref found = Ref::steal(PyObject_GetAttr(state.builtins, name));
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
    PyObject* original = PyDict_GetItemWithError(state.imported, name);
    if (!original) return PyErr_Occurred() ? Applies::error : Applies::no;
    PyObject* current = PyDict_GetItemWithError(state.globals, name);
    if (!current) return PyErr_Occurred() ? Applies::error : Applies::no;
    return current == original ? Applies::yes : Applies::no;
}

}  // namespace lq
