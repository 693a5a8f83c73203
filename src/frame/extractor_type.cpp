// The ColorExtractor type: allocation, construction, destruction and readiness.
#include <new>

#include "clustering/kmeans_library.hpp"
#include "frame/extractor_type.hpp"
#include "frame/method_spec.hpp"
#include "frame/methods.hpp"
#include "frame/pickling.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/state.hpp"

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

// The four settings are stored only once every argument has been converted and checked, so a failing
// call leaves the instance as it was.
int init(ColorExtractor* self, int n_colors, PyObject* algorithm, bool preprocessing, bool lab_space) {
    self->n_colors = n_colors;
    self->algorithm = Ref::borrow(algorithm);
    self->preprocessing = preprocessing;
    self->lab_space = lab_space;
    return 0;
}

constexpr MethodSpec init_method{"__init__",
                                 params(Param{"n_colors", Check::any, Default::of(5.0), Convert::int32},
                                        Param{"algorithm", Check::exact_str_or_none, Default::of(&name<"kmeans">)},
                                        Param{"preprocessing", Check::any, Default::of(1.0), Convert::truth},
                                        Param{"lab_space", Check::any, Default::of(1.0), Convert::truth}),
                                 &init,
                                 "\n"
                                 "        Initialize ColorExtractor with robust color extraction capabilities.\n"
                                 "        \n"
                                 "        Args:\n"
                                 "            n_colors: Number of dominant colors to extract\n"
                                 "            algorithm: 'kmeans' or 'dbscan' for clustering\n"
                                 "            preprocessing: Apply noise reduction and lighting normalization\n"
                                 "            lab_space: Use LAB color space for perceptual accuracy\n"
                                 "        "};

// __init__ is a slot wrapper shared by the type; its docstring is set on a copy of the wrapper base.
// PyWrapperDescrObject and its d_base are CPython's own layout (cpython/descrobject.h): a slot wrapper
// takes its docstring from the shared slot table, and no API gives one type's wrapper a docstring of its
// own. When __init__ is not a plain slot wrapper the docstring is simply left alone.
int set_init_docstring(PyTypeObject* type) {
    ProcessState& state = process_state();
    if (state.init_documented) return 0;
    Ref wrapper = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__init__"));
    if (!wrapper) return -1;
    if (Py_IS_TYPE(wrapper.get(), &PyWrapperDescr_Type)) {
        PyWrapperDescrObject* descriptor = reinterpret_cast<PyWrapperDescrObject*>(wrapper.get());
        state.init_wrapper = *descriptor->d_base;
        state.init_wrapper.doc = init_method.doc;
        descriptor->d_base = &state.init_wrapper;
        state.init_documented = true;
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
    // The macro supplies its own trailing comma, which the formatter cannot see.
    // clang-format off
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = LQ_MODULE_NAME ".ColorExtractor",
    // clang-format on
    .tp_basicsize = sizeof(ColorExtractor),
    .tp_dealloc = extractor_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_methods = extractor_static_methods,
    .tp_init = spec_init_entry<init_method>,
    .tp_new = extractor_new,
};

namespace {

// A subtype with ColorExtractor's layout that differs only in its own methods.
PyTypeObject variant_type(const char* qualified_name, const char* doc) {
    return PyTypeObject{
        // The macro supplies its own trailing comma, which the formatter cannot see.
        // clang-format off
        .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
        .tp_name = qualified_name,
        // clang-format on
        .tp_basicsize = sizeof(ColorExtractor),
        .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
        .tp_doc = doc,
        .tp_base = &ColorExtractorType,
    };
}

}  // namespace

PyTypeObject FastColorExtractorType =
    variant_type(LQ_MODULE_NAME ".FastColorExtractor",
                 "ColorExtractor whose _cluster_colors_kmeans, called directly too, is the native K-means: the\n"
                 "labels of scikit-learn's KMeans with random_state=42 and n_init=10, computed over the distinct\n"
                 "colours of the image. Every ColorExtractor's extract_colors uses that K-means already.");

PyTypeObject LibraryColorExtractorType =
    variant_type(LQ_MODULE_NAME ".LibraryColorExtractor",
                 "ColorExtractor whose K-means is scikit-learn's KMeans(n_colors, random_state=42, n_init=10)\n"
                 "called on every pixel row, by every operation: the same results as ColorExtractor, from the\n"
                 "library call itself, for checking a result. Slow on large images.");

namespace {

// _PyType_Name: the part of tp_name after the last dot, as a C string (PyType_GetName would make a new
// object to be converted back).
int ready_variant(PyObject* module, PyTypeObject* type, std::span<const FunctionDef* const> methods) {
    if (PyType_Ready(type) < 0 || install_methods(type, methods) < 0) return -1;
    return PyObject_SetAttrString(module, _PyType_Name(type), reinterpret_cast<PyObject*>(type));
}

}  // namespace

int ready_extractor_variants(PyObject* module) {
    ProcessState& state = process_state();
    if (!state.kmeans_fallbacks && !(state.kmeans_fallbacks = PyDict_New())) return -1;
    if (PyObject_SetAttrString(module, "_kmeans_fallbacks", state.kmeans_fallbacks) < 0 ||
        clustering::publish_fallback_reasons(module) < 0)
        return -1;
    if (ready_variant(module, &FastColorExtractorType, fast_extractor_methods()) < 0) return -1;
    return ready_variant(module, &LibraryColorExtractorType, library_extractor_methods());
}

int ready_extractor_type(PyObject* module) {
    PyTypeObject* type = &ColorExtractorType;
    if (PyType_Ready(type) < 0 || set_init_docstring(type) < 0 || publish_operation_table(type) < 0) return -1;
    if (PyObject_SetAttr(module, name<"ColorExtractor">(), reinterpret_cast<PyObject*>(type)) < 0) return -1;
    return pickling::install_hooks(type);
}

}  // namespace lq
