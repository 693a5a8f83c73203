#include "interop/unpack.hpp"

namespace lq {
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

}  // namespace lq
