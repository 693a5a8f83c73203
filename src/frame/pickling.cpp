// Pickling and copying. The state tuple is (algorithm, lab_space, n_colors, preprocessing[, __dict__]);
// pickles refer to the module-level function __pyx_unpickle_ColorExtractor and carry a layout checksum,
// both part of the stored format.
#include "frame/pickling.hpp"

#include <cstdio>
#include <string>

#include "frame/extractor_type.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"

namespace lq::pickling {
namespace {

// Layout checksums of the state tuple: the first is written, all are accepted. They are part of every
// stored pickle.
constexpr long accepted_checksums[] = {0x95a985b, 0x5abda51, 0x3daa32e};
constexpr long written_checksum = accepted_checksums[0];

PyObject* as_object(ColorExtractor* self) { return reinterpret_cast<PyObject*>(self); }

// getattr(object, '__dict__', None): a missing attribute gives None, other errors propagate.
Ref instance_dict_or_none(PyObject* object) {
    Ref dict = attr(object, name<"__dict__">());
    if (dict) return dict;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    return Ref::none();
}

// Every element converted and checked before anything is stored, so that a failing state leaves the
// instance as it was.
struct RestoredState {
    Ref algorithm;
    int lab_space = 0;
    int n_colors = 0;
    int preprocessing = 0;
    Ref instance_dict;     // the instance's __dict__ when element 4 is to be merged into it, else null
    Ref extra_attributes;  // element 4 copied into a fresh dict
};

int read_state(PyObject* object, PyObject* state, RestoredState* out) {
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return -1;
    }
    // PyTuple_GetItem raises the interpreter's IndexError for a missing element.
    Ref algorithm = Ref::borrow(PyTuple_GetItem(state, 0));
    if (!algorithm) return -1;
    if (!algorithm.is_none() && !PyUnicode_CheckExact(algorithm.get())) {
        raise_unexpected_type("str", algorithm.get());
        return -1;
    }
    out->algorithm = algorithm;
    Ref lab_space = Ref::borrow(PyTuple_GetItem(state, 1));
    if (!lab_space || (out->lab_space = truth(lab_space.get())) < 0) return -1;
    Ref n_colors = Ref::borrow(PyTuple_GetItem(state, 2));
    if (!n_colors || to_integer(n_colors.get(), &out->n_colors) < 0) return -1;
    Ref preprocessing = Ref::borrow(PyTuple_GetItem(state, 3));
    if (!preprocessing || (out->preprocessing = truth(preprocessing.get())) < 0) return -1;
    if (PyTuple_GET_SIZE(state) <= 4) return 0;
    Ref instance_dict = instance_dict_or_none(object);
    if (!instance_dict) return -1;
    if (instance_dict.is_none()) return 0;
    // A bad element 4 fails here, on the copy, before the instance dict is touched.
    out->extra_attributes = Ref::steal(PyDict_New());
    if (!out->extra_attributes || !call_method(out->extra_attributes, name<"update">(), {PyTuple_GET_ITEM(state, 4)}))
        return -1;
    out->instance_dict = std::move(instance_dict);
    return 0;
}

// The attributes are merged first: that is the last step that can fail, and the fields are stored only
// after it succeeded.
int restore_state(ColorExtractor* self, PyObject* state) {
    RestoredState restored;
    if (read_state(as_object(self), state, &restored) < 0) return -1;
    if (restored.instance_dict && !call_method(restored.instance_dict, name<"update">(), {restored.extra_attributes}))
        return -1;
    self->algorithm = std::move(restored.algorithm);
    self->lab_space = restored.lab_space;
    self->n_colors = restored.n_colors;
    self->preprocessing = restored.preprocessing;
    return 0;
}

bool is_accepted_checksum(long long checksum) {
    for (long accepted : accepted_checksums)
        if (checksum == accepted) return true;
    return false;
}

void raise_incompatible_checksum(long long checksum_value) {
    Ref checksum = Ref::steal(PyLong_FromLongLong(checksum_value));
    Ref pickle = Ref::steal(PyImport_ImportModuleLevel("pickle", nullptr, nullptr, nullptr, 0));
    Ref pickle_error = attr(pickle, name<"PickleError">());
    if (!pickle_error) return;
    std::string text = "Incompatible checksums (0x%x vs (";
    for (long accepted : accepted_checksums) {
        char hex[24];
        std::snprintf(hex, sizeof hex, "%s0x%lx", accepted == accepted_checksums[0] ? "" : ", ", accepted);
        text += hex;
    }
    text += ") = (algorithm, lab_space, n_colors, preprocessing))";
    Ref format = Ref::steal(PyUnicode_FromString(text.c_str()));
    Ref message = format && checksum ? Ref::steal(PyUnicode_Format(format.get(), checksum.get())) : Ref();
    Ref error = call(pickle_error, {message});
    if (!error) return;
    // pickle.PickleError may have been replaced by something that is not an exception.
    if (PyExceptionInstance_Check(error.get()))
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    else PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

Ref pickle_type_of(ColorExtractor* self) { return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self))); }

}  // namespace

Ref reduce(ColorExtractor* self) {
    Ref n_colors = Ref::steal(PyLong_FromLong(self->n_colors));
    Ref state = make_tuple(
        {self->algorithm, self->lab_space ? Py_True : Py_False, n_colors, self->preprocessing ? Py_True : Py_False});
    if (!state) return Ref();
    Ref dict = instance_dict_or_none(as_object(self));
    if (!dict) return Ref();
    bool use_setstate = !self->algorithm.is_none();
    if (!dict.is_none()) {
        Ref extended = make_tuple({dict});
        state = extended ? Ref::steal(PySequence_Concat(state.get(), extended.get())) : Ref();
        if (!state) return Ref();
        use_setstate = true;
    }
    Ref unpickle_function = module_global<"__pyx_unpickle_ColorExtractor">();
    Ref checksum = Ref::steal(PyLong_FromLong(written_checksum));
    if (!unpickle_function || !checksum) return Ref();
    if (use_setstate)
        return make_tuple({unpickle_function, make_tuple({pickle_type_of(self), checksum, Py_None}), state});
    return make_tuple({unpickle_function, make_tuple({pickle_type_of(self), checksum, state})});
}

Ref set_state(ColorExtractor* self, PyObject* state) {
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        raise_unexpected_type("tuple", state);
        return Ref();
    }
    if (restore_state(self, state) < 0) return Ref();
    return Ref::none();
}

Ref unpickle(PyObject* type, PyObject* checksum, PyObject* state) {
    long long checksum_value = 0;
    if (to_integer(checksum, &checksum_value) < 0) return Ref();
    if (!is_accepted_checksum(checksum_value)) {
        raise_incompatible_checksum(checksum_value);
        return Ref();
    }
    Ref instance = call_method(reinterpret_cast<PyObject*>(&ColorExtractorType), name<"__new__">(), {type});
    if (!instance) return Ref();
    if (state == Py_None) return instance;
    if (!PyTuple_CheckExact(state)) {
        raise_unexpected_type("tuple", state);
        return Ref();
    }
    if (!is_color_extractor(instance.get())) {  // __new__ of a type that does not derive from ours
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(instance.get())->tp_name,
                     ColorExtractorType.tp_name);
        return Ref();
    }
    if (restore_state(reinterpret_cast<ColorExtractor*>(instance.get()), state) < 0) return Ref();
    return instance;
}

namespace {

// Identity of what `type` resolves `attribute` to, compared with what object resolves it to.
int inherits_from_object(PyTypeObject* type, PyObject* attribute) {
    Ref own = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), attribute));
    if (!own) return -1;
    Ref base = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), attribute));
    if (!base) return -1;
    return own.get() == base.get();
}

int move_entry(PyTypeObject* type, const char* from, const char* to) {
    PyObject* entry = PyDict_GetItemString(type->tp_dict, from);
    if (!entry) {
        PyErr_Format(PyExc_AttributeError, "%s", from);
        return -1;
    }
    Ref keep = Ref::borrow(entry);
    if (PyDict_SetItemString(type->tp_dict, to, keep.get()) < 0) return -1;
    return PyDict_DelItemString(type->tp_dict, from);
}

// _PyType_Lookup finds a name along the type's MRO as attribute lookup does, without running descriptors
// and without raising; CPython 3.12 has no public call that answers only that.
int install_hooks_or_fail(PyTypeObject* type) {
    PyObject* getstate = _PyType_Lookup(type, name<"__getstate__">());
    PyObject* object_getstate = _PyType_Lookup(&PyBaseObject_Type, name<"__getstate__">());
    if (getstate && getstate != object_getstate) return 0;  // the class pickles itself
    const int plain_reduce_ex = inherits_from_object(type, name<"__reduce_ex__">());
    if (plain_reduce_ex <= 0) return plain_reduce_ex;
    const int plain_reduce = inherits_from_object(type, name<"__reduce__">());
    if (plain_reduce <= 0) return plain_reduce;
    if (move_entry(type, "__reduce_cython__", "__reduce__") < 0) return -1;
    if (!_PyType_Lookup(type, name<"__setstate__">()) && move_entry(type, "__setstate_cython__", "__setstate__") < 0)
        return -1;
    PyType_Modified(type);
    return 0;
}

}  // namespace

int install_hooks(PyTypeObject* type) {
    if (install_hooks_or_fail(type) == 0) return 0;
    const Ref message = Ref::steal(PyUnicode_FromFormat("Unable to initialize pickling for %.200s", type->tp_name));
    if (message) raise_while_handling(PyExc_RuntimeError, PyUnicode_AsUTF8(message.get()));
    return -1;
}

}  // namespace lq::pickling
