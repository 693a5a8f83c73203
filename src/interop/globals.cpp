#include "interop/globals.hpp"

#include "interop/process_state.hpp"

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
        Ref found = Ref::steal(PyObject_GetAttr(state.builtins, name));
        if (found) return found;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

int global_is_as_imported(PyObject* name) {
    const ProcessState& state = process_state();
    if (!name || !state.globals || !state.imported) return name ? 0 : -1;
    PyObject* original = PyDict_GetItemWithError(state.imported, name);
    if (!original) return PyErr_Occurred() ? -1 : 0;
    PyObject* current = PyDict_GetItemWithError(state.globals, name);
    if (!current) return PyErr_Occurred() ? -1 : 0;
    return current == original;
}

}  // namespace lq
