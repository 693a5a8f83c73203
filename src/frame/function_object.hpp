// The function objects that carry the module's methods. They bind like interpreter functions (a
// bound method on instance access, the function itself on class access) and carry __name__,
// __qualname__, __module__, __doc__, __defaults__ and __annotations__.
#pragma once

#include "interop/ref.hpp"

namespace lq {

// For a method, `self` is the instance and `args` the arguments after it.
using FunctionImpl = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct FunctionDef {
    const char* name;
    FunctionImpl impl;
    const char* doc;             // null: no docstring
    const char* text_signature;  // what inspect.signature reads, "($self, image, mask=None)"
    bool is_method;              // the first argument must be a ColorExtractor
};

extern PyTypeObject FunctionObjectType;

// A new function object; `defaults` and `annotations` may be null (no defaults, empty annotations).
Ref new_function(const FunctionDef* def, PyObject* qualname, PyObject* module_name, PyObject* defaults,
                 PyObject* annotations);

// True when `object`, after unwrapping a bound method, is a function object created from `def`.
bool is_function_of(PyObject* object, const FunctionDef* def);

int ready_function_type();

}  // namespace lq
