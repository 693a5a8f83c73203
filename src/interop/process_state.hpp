// The process-wide state written while the module executes and only read afterwards: the module and
// its globals, the builtins, and numpy.ndarray. Nothing here is released while the process lives.
#pragma once

#include "interop/python.hpp"

namespace lq {

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
};

ProcessState& process_state() noexcept;

inline PyTypeObject* ndarray_type() noexcept { return process_state().ndarray; }

}  // namespace lq
