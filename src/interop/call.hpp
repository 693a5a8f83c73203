// Calls into the interpreter. Every helper takes borrowed arguments and returns a new reference, or a
// null Ref with the exception set. A null argument, or an exception already pending when the helper is
// reached, means that an earlier step failed: the helper then does nothing and returns null, and the
// original exception stands.
#pragma once

#include <initializer_list>

#include "interop/ref.hpp"

namespace lq {

struct Kw {
    PyObject* name;  // an interned name
    Arg value;
};

// callable(*args, **kwargs), keywords passed in the order given.
Ref call(Arg callable, std::initializer_list<Arg> args = {}, std::initializer_list<Kw> kwargs = {});

// object.name(*args, **kwargs), looked up on the object as an ordinary attribute.
Ref call_method(Arg object, PyObject* name, std::initializer_list<Arg> args = {},
                std::initializer_list<Kw> kwargs = {});

// object.name
Ref attr(Arg object, PyObject* name);

// object[index] and object[key]
Ref item(Arg object, Py_ssize_t index);
Ref item(Arg object, Arg key);

// object[key] = value; 0 on success, -1 with an exception set.
int set_item(Arg object, Arg key, Arg value);

// A new tuple holding the given objects.
Ref make_tuple(std::initializer_list<Arg> items);

// Operators, as the interpreter evaluates them: an array operand makes them element-wise.
// left <op> right, with op one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE.
Ref compare(Arg left, Arg right, int op);
// bool(left <op> right): 1 or 0, or -1 with an exception set. An object equals itself without being
// asked, as in the interpreter's `in` (PyObject_RichCompareBool).
int compare_bool(Arg left, Arg right, int op);
Ref add(Arg left, Arg right);
Ref subtract(Arg left, Arg right);
Ref multiply(Arg left, Arg right);
Ref true_divide(Arg left, Arg right);
Ref power(Arg base, Arg exponent);
Ref invert(Arg operand);  // ~operand

}  // namespace lq
