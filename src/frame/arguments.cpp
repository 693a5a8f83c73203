#include "frame/arguments.hpp"

#include <vector>

#include "interop/convert.hpp"
#include "interop/globals.hpp"

namespace lq {
namespace {

void raise_count_error(const Signature& signature, Py_ssize_t given) {
    const bool exact = signature.required == signature.count;
    const Py_ssize_t expected = given < signature.required ? signature.required : signature.count;
    const char* bound = exact ? "exactly" : (given < signature.required ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 signature.function_name, bound, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t parameter_index(const Signature& signature, PyObject* keyword) {
    for (Py_ssize_t index = 0; index < signature.count; ++index)
        if (PyUnicode_CompareWithASCIIString(keyword, signature.params[index].name) == 0) return index;
    return -1;
}

// Keywords that do not fill a parameter left open by the positional arguments.
int reject_stray_keywords(const Signature& signature, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = parameter_index(signature, keyword);
        if (index >= nargs) continue;
        if (index >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", signature.function_name,
                         keyword);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function_name,
                         keyword);
        return -1;
    }
    return 0;
}

PyObject* keyword_value(PyObject* const* kwvalues, PyObject* kwnames, const char* name) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k)
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), name) == 0) return kwvalues[k];
    return nullptr;
}

}  // namespace

int check_argument(PyObject* value, const Param& param) {
    switch (param.check) {
        case Check::any: return 0;
        case Check::ndarray_or_none: return check_argument_type(value, ndarray_type(), true, false, param.name);
        case Check::exact_str_or_none: return check_argument_type(value, &PyUnicode_Type, true, true, param.name);
        case Check::exact_list: return check_argument_type(value, &PyList_Type, false, true, param.name);
        case Check::exact_dict: return check_argument_type(value, &PyDict_Type, false, true, param.name);
        case Check::exact_tuple: return check_argument_type(value, &PyTuple_Type, false, true, param.name);
    }
    return 0;
}

PyObject* default_object(const Param& param) {
    switch (param.fallback.kind) {
        case Default::Kind::required: break;
        case Default::Kind::none: return Ref::none().release();
        case Default::Kind::object: return Ref::borrow(param.fallback.object()).release();
        case Default::Kind::number:
            switch (param.convert) {
                case Convert::int32: return PyLong_FromDouble(param.fallback.number);
                case Convert::truth: return PyBool_FromLong(param.fallback.number != 0.0);
                default: return PyFloat_FromDouble(param.fallback.number);
            }
    }
    PyErr_Format(PyExc_SystemError, "parameter '%s' has no default", param.name);
    return nullptr;
}

int bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** given) {
    if (nargs > signature.count) {
        raise_count_error(signature, nargs);
        return -1;
    }
    for (Py_ssize_t index = 0; index < signature.count; ++index) given[index] = index < nargs ? args[index] : nullptr;
    const bool has_keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    if (!has_keywords) {
        if (nargs < signature.required) {
            raise_count_error(signature, nargs);
            return -1;
        }
        return 0;
    }
    // Parameters not given by position are taken from the keywords in parameter order; the first
    // missing required one is reported by its position before any keyword is judged.
    PyObject* const* kwvalues = args + nargs;
    for (Py_ssize_t index = nargs; index < signature.count; ++index) {
        given[index] = keyword_value(kwvalues, kwnames, signature.params[index].name);
        if (!given[index] && index < signature.required) {
            raise_count_error(signature, index);
            return -1;
        }
    }
    return reject_stray_keywords(signature, nargs, kwnames);
}

int bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** given) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> stack(args ? &PyTuple_GET_ITEM(args, 0) : nullptr,
                                 args ? &PyTuple_GET_ITEM(args, 0) + nargs : nullptr);
    Ref kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) return -1;
        Py_ssize_t position = 0, index = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.function_name);
                return -1;
            }
            PyTuple_SET_ITEM(kwnames.get(), index++, Ref::borrow(key).release());
            stack.push_back(value);
        }
    }
    // The values stay owned by the tuple and the dict for the duration of the call.
    return bind_arguments(signature, stack.data(), nargs, kwnames.get(), given);
}

}  // namespace lq
