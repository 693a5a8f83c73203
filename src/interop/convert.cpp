#include "interop/convert.hpp"

#include <type_traits>
#include <utility>

#include "interop/constants.hpp"
#include "interop/globals.hpp"

namespace lq {
namespace {

// An int, or the result of __int__ when the object's type provides it.
Ref as_int_object(PyObject* object) {
    if (!object) return Ref();
    if (PyLong_Check(object)) return Ref::borrow(object);
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (!number || !number->nb_int) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    Ref result = Ref::steal(number->nb_int(object));
    if (!result || PyLong_CheckExact(result.get())) return result;
    if (PyLong_Check(result.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of Python.",
                             Py_TYPE(result.get())->tp_name) < 0)
            return Ref();
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
    return Ref();
}

// The C type's name as the interpreter's overflow message spells it.
template <class Int>
constexpr const char* overflow_message = "value too large to convert to long";
template <>
constexpr const char* overflow_message<int> = "value too large to convert to int";

}  // namespace

int truth(PyObject* object) {
    if (!object) return -1;
    if (object == Py_True) return 1;
    if (object == Py_False || object == Py_None) return 0;
    return PyObject_IsTrue(object);
}

template <class Int>
int to_integer(PyObject* object, Int* out) {
    static_assert(std::is_same_v<Int, int> || std::is_same_v<Int, long long>);
    Ref integer = as_int_object(object);
    if (!integer) return -1;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow || !std::in_range<Int>(value)) {
        PyErr_SetString(PyExc_OverflowError, overflow_message<Int>);
        return -1;
    }
    *out = static_cast<Int>(value);
    return 0;
}

template int to_integer<int>(PyObject*, int*);
template int to_integer<long long>(PyObject*, long long*);

int to_double(PyObject* object, double* out) {
    if (!object) return -1;
    const double value = PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return -1;
    *out = value;
    return 0;
}

int check_argument_type(PyObject* object, PyTypeObject* type, bool none_allowed, bool exact,
                        const char* argument_name) {
    if (!object) return -1;
    if (none_allowed && object == Py_None) return 0;
    if (Py_TYPE(object) == type || (!exact && PyObject_TypeCheck(object, type))) return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument_name,
                 type->tp_name, Py_TYPE(object)->tp_name);
    return -1;
}

int check_instance_or_none(PyObject* object, PyTypeObject* type) {
    if (!object) return -1;
    if (object == Py_None || PyObject_TypeCheck(object, type)) return 0;
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(object)->tp_name, type->tp_name);
    return -1;
}

Ref tuple_of_ints(Arg iterable) {
    if (!iterable.ptr) return Ref();
    Ref iterator = Ref::steal(PyObject_GetIter(iterable.ptr));
    Ref components = Ref::steal(PyList_New(0));
    if (!iterator || !components) return Ref();
    while (Ref component = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref integer = Ref::steal(PyNumber_Long(component.get()));
        if (!integer || PyList_Append(components.get(), integer.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return Ref::steal(PyList_AsTuple(components.get()));
}

Ref round_to_2(Arg value) {
    if (!value.ptr) return Ref();
    PyObject* args[] = {value.ptr, small_int<2>()};
    return Ref::steal(PyObject_Vectorcall(process_state().round.get(), args, 2, nullptr));
}

void raise_unexpected_type(const char* expected, PyObject* object) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(object)->tp_name);
}

void raise_while_handling(PyObject* type, const char* message) {
    PyObject* pending = PyErr_GetRaisedException();
    PyErr_SetString(type, message);
    // _PyErr_ChainExceptions1 takes `pending` and makes it the new exception's __context__, the chaining
    // CPython's own modules use; the public calls would need the new exception fetched, linked and set
    // again by hand.
    if (pending) _PyErr_ChainExceptions1(pending);
}

// -- unpacking ----------------------------------------------------------------------------------
namespace {

int raise_too_many() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return -1;
}

int raise_too_few(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    return -1;
}

int unpack_sequence(PyObject* object, Ref* first, Ref* second) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
    if (size > 2) return raise_too_many();
    if (size < 2) return raise_too_few(size);
    PyObject** items = PySequence_Fast_ITEMS(object);
    *first = Ref::borrow(items[0]);
    *second = Ref::borrow(items[1]);
    return 0;
}

}  // namespace

int unpack_pair(PyObject* object, Ref* first, Ref* second) {
    if (!object) return -1;
    if (PyTuple_CheckExact(object) || PyList_CheckExact(object)) return unpack_sequence(object, first, second);
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) return -1;
    Ref values[2];
    for (Py_ssize_t index = 0; index < 2; ++index) {
        values[index] = Ref::steal(PyIter_Next(iterator.get()));
        if (!values[index]) return PyErr_Occurred() ? -1 : raise_too_few(index);
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) return raise_too_many();
    if (PyErr_Occurred()) return -1;
    *first = std::move(values[0]);
    *second = std::move(values[1]);
    return 0;
}

int clear_ordinary_error() {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
}

}  // namespace lq
