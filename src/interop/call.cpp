#include "interop/call.hpp"

#include <vector>

namespace lq {
namespace {

// Normally the producer of a null argument has set an exception; make sure one is always set.
Ref missing_argument() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "null argument to an interpreter call");
    return Ref();
}

// Arguments are evaluated before the helper runs, so an earlier step may have failed while a later
// argument was still being looked up: nothing may run while that exception is pending, or it could be
// cleared or replaced.
bool failed_before() { return PyErr_Occurred() != nullptr; }

bool any_null(std::initializer_list<Arg> args, std::initializer_list<Kw> kwargs) {
    for (const Arg& arg : args)
        if (!arg.ptr) return true;
    for (const Kw& kw : kwargs)
        if (!kw.name || !kw.value.ptr) return true;
    return false;
}

// Vectorcall layout: slot 0 is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET), then the
// positional values, then the keyword values whose names go into a tuple.
Ref vectorcall(PyObject* callable, PyObject* self, std::initializer_list<Arg> args, std::initializer_list<Kw> kwargs,
               PyObject* method_name) {
    std::vector<PyObject*> stack;
    stack.reserve(2 + args.size() + kwargs.size());
    stack.push_back(nullptr);
    if (self) stack.push_back(self);
    for (const Arg& arg : args) stack.push_back(arg.ptr);
    Ref kwnames;
    if (kwargs.size()) {
        kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        if (!kwnames) return Ref();
        Py_ssize_t index = 0;
        for (const Kw& kw : kwargs) {
            PyTuple_SET_ITEM(kwnames.get(), index++, Ref::borrow(kw.name).release());
            stack.push_back(kw.value.ptr);
        }
    }
    const size_t positional = stack.size() - 1 - kwargs.size();
    const size_t nargsf = positional | PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (method_name) return Ref::steal(PyObject_VectorcallMethod(method_name, stack.data() + 1, nargsf, kwnames.get()));
    return Ref::steal(PyObject_Vectorcall(callable, stack.data() + 1, nargsf, kwnames.get()));
}

}  // namespace

Ref call(Arg callable, std::initializer_list<Arg> args, std::initializer_list<Kw> kwargs) {
    if (failed_before() || !callable.ptr || any_null(args, kwargs)) return missing_argument();
    return vectorcall(callable.ptr, nullptr, args, kwargs, nullptr);
}

Ref call_method(Arg object, PyObject* name, std::initializer_list<Arg> args, std::initializer_list<Kw> kwargs) {
    if (failed_before() || !object.ptr || !name || any_null(args, kwargs)) return missing_argument();
    return vectorcall(nullptr, object.ptr, args, kwargs, name);
}

Ref attr(Arg object, PyObject* name) {
    if (failed_before() || !object.ptr || !name) return missing_argument();
    return Ref::steal(PyObject_GetAttr(object.ptr, name));
}

Ref item(Arg object, Py_ssize_t index) {
    if (failed_before() || !object.ptr) return missing_argument();
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!key) return Ref();
    return Ref::steal(PyObject_GetItem(object.ptr, key.get()));
}

Ref item(Arg object, Arg key) {
    if (failed_before() || !object.ptr || !key.ptr) return missing_argument();
    return Ref::steal(PyObject_GetItem(object.ptr, key.ptr));
}

int set_item(Arg object, Arg key, Arg value) {
    if (failed_before() || !object.ptr || !key.ptr || !value.ptr) {
        missing_argument();
        return -1;
    }
    return PyObject_SetItem(object.ptr, key.ptr, value.ptr);
}

Ref make_tuple(std::initializer_list<Arg> items) {
    if (failed_before()) return Ref();
    for (const Arg& element : items)
        if (!element.ptr) return missing_argument();
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return Ref();
    Py_ssize_t index = 0;
    for (const Arg& element : items) PyTuple_SET_ITEM(tuple.get(), index++, Ref::borrow(element.ptr).release());
    return tuple;
}

namespace {

template <PyObject* (*Operator)(PyObject*, PyObject*)>
Ref binary(Arg left, Arg right) {
    if (failed_before() || !left.ptr || !right.ptr) return missing_argument();
    return Ref::steal(Operator(left.ptr, right.ptr));
}

// The power operator's two-argument form: no modulus.
PyObject* power_of(PyObject* base, PyObject* exponent) { return PyNumber_Power(base, exponent, Py_None); }

}  // namespace

Ref compare(Arg left, Arg right, int op) {
    if (failed_before() || !left.ptr || !right.ptr) return missing_argument();
    return Ref::steal(PyObject_RichCompare(left.ptr, right.ptr, op));
}

int compare_bool(Arg left, Arg right, int op) {
    if (failed_before() || !left.ptr || !right.ptr) {
        missing_argument();
        return -1;
    }
    return PyObject_RichCompareBool(left.ptr, right.ptr, op);
}

Ref add(Arg left, Arg right) { return binary<PyNumber_Add>(left, right); }
Ref subtract(Arg left, Arg right) { return binary<PyNumber_Subtract>(left, right); }
Ref multiply(Arg left, Arg right) { return binary<PyNumber_Multiply>(left, right); }
Ref true_divide(Arg left, Arg right) { return binary<PyNumber_TrueDivide>(left, right); }
Ref power(Arg base, Arg exponent) { return binary<power_of>(base, exponent); }

Ref invert(Arg operand) {
    if (failed_before() || !operand.ptr) return missing_argument();
    return Ref::steal(PyNumber_Invert(operand.ptr));
}

}  // namespace lq
