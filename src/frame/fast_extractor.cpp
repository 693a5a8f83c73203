// FastColorExtractor subclasses ColorExtractor natively: the same layout, construction, operations and
// pickling (pickles name the instance's own type), with one method of its own.
#include "frame/fast_extractor.hpp"

#include "clustering/kmeans_native.hpp"
#include "frame/arguments.hpp"
#include "frame/docstrings.hpp"
#include "frame/extractor.hpp"
#include "frame/function_object.hpp"
#include "interop/traceback.hpp"

namespace lq {
namespace {

constexpr const char* kmeans_method = "lumvarde_quorle.color_extractor_cy.FastColorExtractor._cluster_colors_kmeans";
constexpr Param pixels_params[] = {{"pixels", ArgCheck::ndarray_or_none}};

PyObject* cluster_colors_kmeans(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"_cluster_colors_kmeans", pixels_params, 1, 1};
    PyObject* bound[1];
    if (bind_arguments(signature, args, nargs, kwnames, bound) < 0 || !check_arguments(signature, bound)) {
        add_traceback(kmeans_method);
        return nullptr;
    }
    Ref result = clustering::cluster_colors_kmeans_native(reinterpret_cast<ColorExtractor*>(self), bound[0]);
    if (!result) add_traceback(kmeans_method);
    return result.release();
}

const FunctionDef kmeans_def = {"_cluster_colors_kmeans", cluster_colors_kmeans, docstrings::cluster_colors_kmeans,
                                "($self, pixels)", true};

constexpr const char* type_doc =
    "ColorExtractor with a native K-means: the same results as ColorExtractor (scikit-learn's KMeans with\n"
    "random_state=42 and n_init=10), computed over the distinct colours of the image.";

}  // namespace

PyTypeObject FastColorExtractorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "lumvarde_quorle.color_extractor_cy.FastColorExtractor",
    .tp_basicsize = sizeof(ColorExtractor),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = type_doc,
    .tp_base = &ColorExtractorType,
};

int ready_fast_extractor_type(PyObject* module) {
    PyTypeObject* type = &FastColorExtractorType;
    if (PyType_Ready(type) < 0) return -1;
    Ref qualname = Ref::steal(PyUnicode_FromString("FastColorExtractor._cluster_colors_kmeans"));
    Ref module_name = Ref::steal(PyUnicode_FromString("lumvarde_quorle.color_extractor_cy"));
    if (!qualname || !module_name) return -1;
    Ref function = new_function(&kmeans_def, qualname.get(), module_name.get(), nullptr, nullptr);
    if (!function || PyDict_SetItemString(type->tp_dict, kmeans_def.name, function.get()) < 0) return -1;
    PyType_Modified(type);
    return PyObject_SetAttrString(module, "FastColorExtractor", reinterpret_cast<PyObject*>(type));
}

}  // namespace lq
