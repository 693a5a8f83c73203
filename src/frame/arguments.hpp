// Argument binding with the interpreter's messages: every parameter is positional-or-keyword, with no
// *args or **kwargs. Counts in messages exclude `self`.
#pragma once

#include "interop/python.hpp"

namespace lq {

enum class ArgCheck {
    any,              // unchecked
    ndarray_or_none,  // numpy.ndarray or a subclass, or None
    exact_str_or_none,
    exact_list,
    exact_dict,
    exact_tuple,
};

struct Param {
    const char* name;
    ArgCheck check = ArgCheck::any;
};

struct Signature {
    const char* function_name;
    const Param* params;
    Py_ssize_t count;
    Py_ssize_t required;  // the first `required` parameters have no default
};

// Binds a vectorcall argument vector (without self) to `bound`, which must hold `count` entries.
// Parameters that were not given are left null. -1 with the TypeError set on failure.
int bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound);

// The same for a tuple of positional arguments and a dict of keywords (may be null), as tp_init gets.
int bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** bound);

// Applies each parameter's type check, in parameter order, to the arguments that were given.
bool check_arguments(const Signature& signature, PyObject* const* bound);

}  // namespace lq
