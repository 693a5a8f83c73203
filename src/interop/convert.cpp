#include "interop/convert.hpp"

#include <climits>

#include "interop/constants.hpp"
#include "interop/process_state.hpp"
#include "interop/ref.hpp"

namespace lq {
namespace {

// An int, or the result of __int__ when the object's type provides it.
Ref as_int_object(PyObject* object) {
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

}  // namespace

int truth(PyObject* object) {
    if (object == Py_True) return 1;
    if (object == Py_False || object == Py_None) return 0;
    return PyObject_IsTrue(object);
}

int to_int64(PyObject* object, long long* out) {
    Ref integer = as_int_object(object);
    if (!integer) return -1;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to long");
        return -1;
    }
    *out = value;
    return 0;
}

int to_int32(PyObject* object, int* out) {
    Ref integer = as_int_object(object);
    if (!integer) return -1;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow || value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    *out = static_cast<int>(value);
    return 0;
}

int to_double(PyObject* object, double* out) {
    const double value = PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return -1;
    *out = value;
    return 0;
}

bool check_argument_type(PyObject* object, PyTypeObject* type, bool none_allowed, bool exact,
                         const char* argument_name) {
    if (none_allowed && object == Py_None) return true;
    if (Py_TYPE(object) == type || (!exact && PyObject_TypeCheck(object, type))) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument_name,
                 type->tp_name, Py_TYPE(object)->tp_name);
    return false;
}

bool check_instance_or_none(PyObject* object, PyTypeObject* type) {
    if (object == Py_None || PyObject_TypeCheck(object, type)) return true;
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(object)->tp_name, type->tp_name);
    return false;
}

Ref tuple_of_ints(PyObject* iterable) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    Ref components = Ref::steal(PyList_New(0));
    if (!iterator || !components) return Ref();
    while (Ref component = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref integer = Ref::steal(PyNumber_Long(component.get()));
        if (!integer || PyList_Append(components.get(), integer.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return Ref::steal(PyList_AsTuple(components.get()));
}

Ref round_to_2(PyObject* value) {
    if (!value) return Ref();
    PyObject* args[] = {value, small_int<2>()};
    return Ref::steal(PyObject_Vectorcall(process_state().round, args, 2, nullptr));
}

void raise_unexpected_type(const char* expected, PyObject* object) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(object)->tp_name);
}

}  // namespace lq

namespace lq {

void raise_while_handling(PyObject* type, const char* message) {
    PyObject* pending = PyErr_GetRaisedException();
    PyErr_SetString(type, message);
    if (pending) _PyErr_ChainExceptions1(pending);
}

}  // namespace lq
