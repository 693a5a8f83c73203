// The ColorExtractor type: allocation, construction, destruction and readiness.
#include <new>

#include "frame/arguments.hpp"
#include "frame/docstrings.hpp"
#include "frame/extractor.hpp"
#include "frame/method_table.hpp"
#include "frame/pickling.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/traceback.hpp"

namespace lq {
namespace {

ColorExtractor* extractor(PyObject* self) { return reinterpret_cast<ColorExtractor*>(self); }

PyObject* extractor_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref object;
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
        // Lets object.__new__ report the abstract methods.
        Ref no_arguments = Ref::steal(PyTuple_New(0));
        if (!no_arguments) return nullptr;
        object = Ref::steal(PyBaseObject_Type.tp_new(type, no_arguments.get(), nullptr));
    } else {
        object = Ref::steal(type->tp_alloc(type, 0));
    }
    if (!object) return nullptr;
    ColorExtractor* self = extractor(object.get());
    self->ops = &color_extractor_ops;
    self->n_colors = 0;
    new (&self->algorithm) Ref(Ref::none());
    self->preprocessing = 0;
    self->lab_space = 0;
    return object.release();
}

void extractor_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    // A native subtype's finaliser runs first; interpreter subclasses have run theirs already.
    if (type->tp_finalize && (!PyType_IS_GC(type) || !PyObject_GC_IsFinalized(object)) &&
        type->tp_dealloc == extractor_dealloc) {
        if (PyObject_CallFinalizerFromDealloc(object) < 0) return;
    }
    extractor(object)->algorithm.~Ref();
    type->tp_free(object);
}

constexpr Param init_params[] = {{"n_colors"}, {"algorithm", ArgCheck::exact_str_or_none}, {"preprocessing"},
                                 {"lab_space"}};

int extractor_init(PyObject* object, PyObject* args, PyObject* kwargs) {
    static constexpr Signature signature{"__init__", init_params, 4, 0};
    PyObject* bound[4];
    int n_colors = 5, preprocessing = 1, lab_space = 1;
    // Convert everything first so that a failure stores nothing.
    const bool ok = bind_arguments(signature, args, kwargs, bound) == 0 &&
                    (!bound[0] || to_int32(bound[0], &n_colors) == 0) &&
                    (!bound[2] || (preprocessing = truth(bound[2])) >= 0) &&
                    (!bound[3] || (lab_space = truth(bound[3])) >= 0) && check_arguments(signature, bound);
    if (!ok) {
        add_method_traceback("__init__");
        return -1;
    }
    ColorExtractor* self = extractor(object);
    self->n_colors = n_colors;
    self->algorithm = Ref::borrow(bound[1] ? bound[1] : name<"kmeans">());
    self->preprocessing = preprocessing;
    self->lab_space = lab_space;
    return 0;
}

// __init__ is a slot wrapper shared by the type; its docstring is set on a copy of the wrapper base.
int set_init_docstring(PyTypeObject* type) {
    static bool done = false;
    static wrapperbase init_base;
    if (done) return 0;
    Ref wrapper = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__init__"));
    if (!wrapper) return -1;
    if (Py_IS_TYPE(wrapper.get(), &PyWrapperDescr_Type)) {
        PyWrapperDescrObject* descriptor = reinterpret_cast<PyWrapperDescrObject*>(wrapper.get());
        init_base = *descriptor->d_base;
        init_base.doc = docstrings::init;
        descriptor->d_base = &init_base;
        done = true;
    }
    return 0;
}

int publish_operation_table(PyTypeObject* type) {
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<ExtractorOps*>(&color_extractor_ops), nullptr, nullptr));
    if (!capsule || PyDict_SetItem(type->tp_dict, name<"__pyx_vtable__">(), capsule.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

}  // namespace

PyTypeObject ColorExtractorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "lumvarde_quorle.color_extractor_cy.ColorExtractor",
    .tp_basicsize = sizeof(ColorExtractor),
    .tp_dealloc = extractor_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_methods = extractor_static_methods,
    .tp_init = extractor_init,
    .tp_new = extractor_new,
};

int ready_extractor_type(PyObject* module) {
    PyTypeObject* type = &ColorExtractorType;
    if (PyType_Ready(type) < 0 || set_init_docstring(type) < 0 || publish_operation_table(type) < 0) return -1;
    if (PyObject_SetAttr(module, name<"ColorExtractor">(), reinterpret_cast<PyObject*>(type)) < 0) return -1;
    return pickling::install_hooks(type);
}

}  // namespace lq
