#include "interop/unpack.hpp"

namespace lq {
namespace {

// An exact tuple or list.
int unpack_sequence(PyObject* value, Ref* first, Ref* second) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
    if (size != 2) {
        if (size < 2)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
        else
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", size);
        return -1;
    }
    PyObject** items = PySequence_Fast_ITEMS(value);
    *first = Ref::borrow(items[0]);
    *second = Ref::borrow(items[1]);
    return 0;
}

// The next item, or null: with an exception set on failure, or with none set when exhausted.
Ref next_item(PyObject* iterator) { return Ref::steal(PyIter_Next(iterator)); }

int unpack_iterable(PyObject* value, Ref* first, Ref* second) {
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter && !PySequence_Check(value)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        return -1;
    }
    Ref items[2];
    for (Py_ssize_t index = 0; index < 2; ++index) {
        items[index] = next_item(iterator.get());
        if (items[index]) continue;
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", index);
        return -1;
    }
    Ref extra = next_item(iterator.get());
    if (extra) {
        if (PyDict_CheckExact(value))
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", PyDict_Size(value));
        else
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    if (PyErr_Occurred()) return -1;
    *first = std::move(items[0]);
    *second = std::move(items[1]);
    return 0;
}

}  // namespace

int unpack_pair(PyObject* value, Ref* first, Ref* second) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) return unpack_sequence(value, first, second);
    return unpack_iterable(value, first, second);
}

}  // namespace lq
