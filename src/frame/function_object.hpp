// The function objects that carry the module's methods. They bind like interpreter functions (a
// bound method on instance access, the function itself on class access) and carry __name__,
// __qualname__, __module__, __doc__, __defaults__ and __annotations__.
#pragma once

#include "frame/arguments.hpp"
#include "interop/ref.hpp"

namespace lq {

// For a method, `self` is the instance and `args` the arguments after it.
using FunctionImpl = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// What a function object is made from; method_spec.hpp derives it from a method's declaration.
struct FunctionDef {
    const char* name;
    FunctionImpl impl;
    const char* doc;  // null: no docstring
    const Param* params;
    Py_ssize_t count;
    const char* returns;  // return annotation, or null
    bool is_method;       // the first argument must be a ColorExtractor
};

extern PyTypeObject FunctionObjectType;

// A new function object named `qualname` in `module_name`, with __defaults__, __annotations__ and
// __text_signature__ ("($self, image, mask=None)") made from the parameters.
Ref new_function(const FunctionDef* def, PyObject* qualname, PyObject* module_name);

// The FunctionDef a function object, or a bound method of one, was created from; null for anything else.
// The model reads the module's own methods by it (model/known_methods.hpp).
const void* definition_of(PyObject* object);

int ready_function_type();

}  // namespace lq
