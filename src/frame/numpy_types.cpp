// NumPy's types and native array interface, checked against the layout this module was built with.
#define LQ_IMPORTS_NUMPY_API
#include "interop/numpy_api.hpp"
// Only for the ufunc object's layout; the ufunc function table is not used.
#define NO_IMPORT_UFUNC
#include <numpy/ufuncobject.h>

#include "frame/initialisation.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "interop/ref.hpp"

namespace lq {
namespace {

enum class SizeCheck { warn_if_larger, accept_larger };

struct ExpectedType {
    const char* name;
    Py_ssize_t size;
    SizeCheck check;
};

const ExpectedType numpy_types[] = {
    {"dtype", sizeof(PyArray_Descr), SizeCheck::accept_larger},
    {"flatiter", sizeof(PyArrayIterObject), SizeCheck::accept_larger},
    {"broadcast", sizeof(PyArrayMultiIterObject), SizeCheck::accept_larger},
    {"ndarray", sizeof(PyArrayObject), SizeCheck::accept_larger},
    {"generic", sizeof(PyObject), SizeCheck::warn_if_larger},
    {"number", sizeof(PyObject), SizeCheck::warn_if_larger},
    {"integer", sizeof(PyObject), SizeCheck::warn_if_larger},
    {"signedinteger", sizeof(PyObject), SizeCheck::warn_if_larger},
    {"unsignedinteger", sizeof(PyObject), SizeCheck::warn_if_larger},
    {"inexact", sizeof(PyObject), SizeCheck::warn_if_larger},
    {"floating", sizeof(PyObject), SizeCheck::warn_if_larger},
    {"complexfloating", sizeof(PyObject), SizeCheck::warn_if_larger},
    {"flexible", sizeof(PyObject), SizeCheck::warn_if_larger},
    {"character", sizeof(PyObject), SizeCheck::warn_if_larger},
    {"ufunc", sizeof(PyUFuncObject), SizeCheck::accept_larger},
};

constexpr const char* size_changed =
    "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from "
    "PyObject";

// The type `module_name.type_name`, whose instances must be at least as large as this build expects.
Ref import_type(PyObject* module, const char* module_name, const ExpectedType& expected) {
    Ref type = Ref::steal(PyObject_GetAttrString(module, expected.name));
    if (!type) return Ref();
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, expected.name);
        return Ref();
    }
    PyTypeObject* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    const Py_ssize_t size = type_object->tp_basicsize;
    // Variable-sized types (builtins.type) may hold at least one item beyond their basic size.
    Py_ssize_t item_size = type_object->tp_itemsize;
    if (item_size) {
        Py_ssize_t alignment = alignof(void*);
        if (expected.size % alignment) alignment = expected.size % alignment;
        if (item_size < alignment) item_size = alignment;
    }
    if (size + item_size < expected.size) {
        PyErr_Format(PyExc_ValueError, size_changed, module_name, expected.name, expected.size, size + item_size);
        return Ref();
    }
    if (size > expected.size && expected.check == SizeCheck::warn_if_larger &&
        PyErr_WarnFormat(nullptr, 0, size_changed, module_name, expected.name, expected.size, size) < 0)
        return Ref();
    return type;
}

}  // namespace

int import_numpy_types() {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    if (!import_type(builtins.get(), "builtins", {"type", sizeof(PyHeapTypeObject), SizeCheck::warn_if_larger}))
        return -1;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    for (const ExpectedType& expected : numpy_types) {
        Ref type = import_type(numpy.get(), "numpy", expected);
        if (!type) return -1;
        if (expected.name == numpy_types[3].name && !process_state().ndarray) process_state().ndarray = std::move(type);
    }
    return 0;
}

// _import_array is the function behind NumPy's import_array macro, which would return from this function
// on failure: called directly, the failure gets this module's ImportError with NumPy's as its context.
int import_numpy_array_api() {
    if (_import_array() == 0) return 0;
    raise_while_handling(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return -1;
}

}  // namespace lq
