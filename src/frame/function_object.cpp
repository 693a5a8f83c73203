#include "frame/function_object.hpp"

#include <cstddef>
#include <new>

#include "frame/extractor_type.hpp"
#include "interop/globals.hpp"

namespace lq {
namespace {

// The owned fields are constructed in place by new_function and destroyed by the dealloc slot. `module`
// and `dict` are also written by the interpreter as bare pointers (the __module__ member descriptor, the
// generic __dict__ support): a Ref has the bare pointer's layout.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    Ref name;
    Ref qualname;
    Ref module;
    Ref doc;
    Ref defaults;     // tuple or None
    Ref annotations;  // dict
    Ref text_signature;
    Ref dict;
};

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

PyObject* call_function(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* function = as_function(callable);
    const FunctionDef* def = function->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!def->is_method) return def->impl(nullptr, args, nargs, kwnames);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", function->qualname.get());
        return nullptr;
    }
    PyObject* self = args[0];
    if (!is_color_extractor(self)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                     function->name.get(), ColorExtractorType.tp_name, Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return def->impl(self, args + 1, nargs - 1, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Ref::borrow(self).release();
    return PyMethod_New(self, instance);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = as_function(self);
    Py_VISIT(function->name.get());
    Py_VISIT(function->qualname.get());
    Py_VISIT(function->module.get());
    Py_VISIT(function->doc.get());
    Py_VISIT(function->defaults.get());
    Py_VISIT(function->annotations.get());
    Py_VISIT(function->text_signature.get());
    Py_VISIT(function->dict.get());
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* function = as_function(self);
    function->name.reset();
    function->qualname.reset();
    function->module.reset();
    function->doc.reset();
    function->defaults.reset();
    function->annotations.reset();
    function->text_signature.reset();
    function->dict.reset();
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    FunctionObject* function = as_function(self);
    function->name.~Ref();
    function->qualname.~Ref();
    function->module.~Ref();
    function->doc.~Ref();
    function->defaults.~Ref();
    function->annotations.~Ref();
    function->text_signature.~Ref();
    function->dict.~Ref();
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname.get(), self);
}

int set_string_field(Ref& field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    field = Ref::borrow(value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Ref(as_function(self)->name).release(); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_string_field(as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Ref(as_function(self)->qualname).release(); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string_field(as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) { return Ref(as_function(self)->doc).release(); }
int set_doc(PyObject* self, PyObject* value, void*) {
    as_function(self)->doc = Ref::borrow(value ? value : Py_None);
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) { return Ref(as_function(self)->defaults).release(); }
PyObject* get_kwdefaults(PyObject*, void*) { return Ref::none().release(); }
PyObject* get_annotations(PyObject* self, void*) { return Ref(as_function(self)->annotations).release(); }
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    as_function(self)->annotations = Ref::borrow(value);
    return 0;
}
PyObject* get_text_signature(PyObject* self, void*) { return Ref(as_function(self)->text_signature).release(); }

// Pickled by reference, like an interpreter function: module plus qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) { return Ref(as_function(self)->qualname).release(); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject FunctionObjectType = {
    // The macro supplies its own trailing comma, which the formatter cannot see.
    // clang-format off
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = LQ_MODULE_NAME ".native_function",
    // clang-format on
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = PyObject_GenericSetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};

int ready_function_type() { return PyType_Ready(&FunctionObjectType); }

namespace {

// (default, ...) of the trailing parameters that have one, or None when none has.
Ref make_defaults(const FunctionDef& def) {
    Ref defaults = Ref::steal(PyList_New(0));
    if (!defaults) return Ref();
    for (Py_ssize_t index = 0; index < def.count; ++index) {
        if (def.params[index].required()) continue;
        Ref value = Ref::steal(default_object(def.params[index]));
        if (!value || PyList_Append(defaults.get(), value.get()) < 0) return Ref();
    }
    if (PyList_GET_SIZE(defaults.get()) == 0) return Ref::none();
    return Ref::steal(PyList_AsTuple(defaults.get()));
}

Ref make_annotations(const FunctionDef& def) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return Ref();
    for (Py_ssize_t index = 0; index < def.count; ++index) {
        const Param& param = def.params[index];
        if (!param.annotation) continue;
        Ref text = Ref::steal(PyUnicode_FromString(param.annotation));
        if (!text || PyDict_SetItemString(annotations.get(), param.name, text.get()) < 0) return Ref();
    }
    if (def.returns) {
        Ref text = Ref::steal(PyUnicode_FromString(def.returns));
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return Ref();
    }
    return annotations;
}

// "($self, image, mask=None)": each default as its repr, as inspect.signature shows it.
Ref make_text_signature(const FunctionDef& def, PyObject* defaults) {
    Ref text = Ref::steal(PyUnicode_FromString(def.is_method ? "($self" : "("));
    Py_ssize_t next_default = 0;
    for (Py_ssize_t index = 0; index < def.count && text; ++index) {
        const Param& param = def.params[index];
        const char* separator = index || def.is_method ? ", " : "";
        if (param.required()) {
            text = Ref::steal(PyUnicode_FromFormat("%U%s%s", text.get(), separator, param.name));
            continue;
        }
        PyObject* value = PyTuple_GET_ITEM(defaults, next_default++);
        text = Ref::steal(PyUnicode_FromFormat("%U%s%s=%R", text.get(), separator, param.name, value));
    }
    return text ? Ref::steal(PyUnicode_FromFormat("%U)", text.get())) : Ref();
}

}  // namespace

Ref new_function(const FunctionDef* def, PyObject* qualname, PyObject* module_name) {
    Ref name = Ref::steal(PyUnicode_FromString(def->name));
    Ref doc = def->doc ? Ref::steal(PyUnicode_FromString(def->doc)) : Ref::none();
    Ref defaults = make_defaults(*def);
    Ref annotations = make_annotations(*def);
    Ref signature = defaults && annotations ? make_text_signature(*def, defaults.get()) : Ref();
    if (!name || !doc || !signature) return Ref();
    FunctionObject* function = PyObject_GC_New(FunctionObject, &FunctionObjectType);
    if (!function) return Ref();
    function->vectorcall = call_function;
    function->def = def;
    new (&function->name) Ref(std::move(name));
    new (&function->qualname) Ref(Ref::borrow(qualname));
    new (&function->module) Ref(Ref::borrow(module_name));
    new (&function->doc) Ref(std::move(doc));
    new (&function->defaults) Ref(std::move(defaults));
    new (&function->annotations) Ref(std::move(annotations));
    new (&function->text_signature) Ref(std::move(signature));
    new (&function->dict) Ref();
    PyObject_GC_Track(function);
    return Ref::steal(reinterpret_cast<PyObject*>(function));
}

const void* definition_of(PyObject* object) {
    if (PyMethod_Check(object)) object = PyMethod_GET_FUNCTION(object);
    return Py_IS_TYPE(object, &FunctionObjectType) ? as_function(object)->def : nullptr;
}

}  // namespace lq
