// The walk over a target-colour dict shared by both reports.
#pragma once

#include "interop/ref.hpp"

namespace lq::matching {

// Calls body(name, value) for each item of the exact dict `targets`, in order, holding its own
// references to both. Like a for loop over items(), a change of the dict's size between two steps
// raises RuntimeError "dictionary changed size during iteration". 0, or -1 with an exception set.
template <typename Body>
int for_each_target(PyObject* targets, Body body) {
    const Py_ssize_t size = PyDict_GET_SIZE(targets);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (;;) {
        if (PyDict_GET_SIZE(targets) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        if (!PyDict_Next(targets, &position, &key, &value)) return 0;
        Ref name = Ref::borrow(key);
        Ref target = Ref::borrow(value);
        if (body(name.get(), target.get()) < 0) return -1;
    }
}

}  // namespace lq::matching
