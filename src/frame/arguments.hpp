// Parameters and argument binding with the interpreter's messages: every parameter is
// positional-or-keyword, with no *args or **kwargs. Counts in messages exclude `self`.
#pragma once

#include "interop/python.hpp"

namespace lq {

// The type check a parameter applies once every argument has been converted.
enum class Check {
    any,              // unchecked
    ndarray_or_none,  // numpy.ndarray or a subclass, or None
    exact_str_or_none,
    exact_list,
    exact_dict,
    exact_tuple,
};

// What the body receives for a parameter: the object itself, or a value converted by the interpreter's
// protocols. Conversions run first, in parameter order, then the checks.
enum class Convert {
    none,       // PyObject* (borrowed)
    int32,      // int, by the int protocol; must fit 32 bits
    truth,      // bool, the truth value
    to_double,  // double, by the float protocol
};

struct Default {
    enum class Kind { required, none, number, object };
    Kind kind = Kind::required;
    double number = 0.0;
    PyObject* (*object)() = nullptr;  // a cached constant

    static constexpr Default none() { return {Kind::none}; }
    static constexpr Default of(double value) { return {Kind::number, value}; }
    static constexpr Default of(PyObject* (*constant)()) { return {Kind::object, 0.0, constant}; }
};

struct Param {
    const char* name;
    Check check = Check::any;
    Default fallback = {};
    Convert convert = Convert::none;
    const char* annotation = nullptr;  // stored as a string in __annotations__

    constexpr bool required() const { return fallback.kind == Default::Kind::required; }
};

struct Signature {
    const char* function_name;
    const Param* params;
    Py_ssize_t count;
    Py_ssize_t required;  // the first `required` parameters have no default
};

// Binds a vectorcall argument vector (without self) to `given`, which holds `count` entries; parameters
// that were not given are left null. 0, or -1 with the TypeError set.
int bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** given);

// The same for a tuple of positional arguments and a dict of keywords (may be null), as tp_init gets.
int bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** given);

// Applies a parameter's type check to an argument that was given. 0, or -1 with the TypeError set.
int check_argument(PyObject* value, const Param& param);

// The parameter's default as an object: None, a number of the conversion's type, or the constant.
// A new reference; null with an exception set.
PyObject* default_object(const Param& param);

}  // namespace lq
