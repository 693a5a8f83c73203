// Conversions, type tests and unpacking with the interpreter's own wording, shared by every subsystem.
// Like every fallible helper of this layer they return 0, or -1 with an exception set; one that takes
// an object returns -1 at once when given null (an earlier step failed and its exception stands).
#pragma once

#include "interop/ref.hpp"

namespace lq {

// Truth value; True, False and None are recognised without calling into the object. -1 on error.
int truth(PyObject* object);

// A C integer by the int protocol (__int__ for non-ints); out of range is the interpreter's OverflowError,
// "value too large to convert to int" (or "to long" for long long). Defined for int and long long.
template <class Int>
int to_integer(PyObject* object, Int* out);

// Double by the float protocol.
int to_double(PyObject* object, double* out);

// Argument check: `object` must be None (when allowed) or of `type` (exactly, or a subclass when
// `exact` is false). Raises "Argument '...' has incorrect type (...)".
int check_argument_type(PyObject* object, PyTypeObject* type, bool none_allowed, bool exact, const char* argument_name);

// Value check: None or an instance of `type` (subclasses accepted), else "Cannot convert %s to %s".
int check_instance_or_none(PyObject* object, PyTypeObject* type);

// Clears the pending exception when it is an ordinary one (an Exception), for code that treats a failed
// probe as a "no"; returns -1 and leaves it when it is not (KeyboardInterrupt raised by a signal handler
// while the probe ran Python code, SystemExit), which must reach the caller.
int clear_ordinary_error();

// Raises "Expected <expected>, got <type name>".
void raise_unexpected_type(const char* expected, PyObject* object);

// Raises `type(message)` with the pending exception as its __context__, as a raise inside an except
// block would.
void raise_while_handling(PyObject* type, const char* message);

// tuple(int(c) for c in iterable): every component converted by the interpreter's int().
Ref tuple_of_ints(Arg iterable);

// round(value, 2) with the built-in round fetched at initialisation.
Ref round_to_2(Arg value);

// `first, second = object`, with the interpreter's ValueError/TypeError when it is not two values.
int unpack_pair(PyObject* object, Ref* first, Ref* second);

}  // namespace lq
