// The interpreter-visible methods: each binds and checks its arguments, then runs the body. Overridable
// stages run their native entry with dispatch skipped, so a direct call never looks for an override.
#include "chart/chart.hpp"
#include "clustering/clustering.hpp"
#include "extraction/extraction.hpp"
#include "frame/arguments.hpp"
#include "frame/docstrings.hpp"
#include "frame/method_table.hpp"
#include "frame/pickling.hpp"
#include "interop/convert.hpp"
#include "interop/traceback.hpp"
#include "matching/matching.hpp"

namespace lq {
namespace {

ColorExtractor* extractor(PyObject* self) { return reinterpret_cast<ColorExtractor*>(self); }
PyObject* or_none(PyObject* object) { return object ? object : Py_None; }

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
    if (bind_arguments(signature, args, nargs, kwnames, bound) == 0 && check_arguments(signature, bound)) return true;
    add_method_traceback(signature.function_name);
    return false;
}

PyObject* finish(Ref result, const char* method) { return traced(std::move(result), method).release(); }

constexpr Param image_params[] = {{"image", ArgCheck::ndarray_or_none}};
constexpr Param image_mask_params[] = {{"image", ArgCheck::ndarray_or_none}, {"mask", ArgCheck::ndarray_or_none}};
constexpr Param extract_pixels_params[] = {{"image", ArgCheck::ndarray_or_none}, {"mask"}};
constexpr Param pixels_params[] = {{"pixels", ArgCheck::ndarray_or_none}};
constexpr Param labels_params[] = {{"labels", ArgCheck::ndarray_or_none}};
constexpr Param extract_colors_params[] = {{"image"}, {"mask"}};
constexpr Param visualize_params[] = {{"colors", ArgCheck::exact_list}, {"save_path", ArgCheck::exact_str_or_none}};
constexpr Param distance_params[] = {{"color1", ArgCheck::ndarray_or_none}, {"color2", ArgCheck::ndarray_or_none}};
constexpr Param closest_params[] = {{"target_color", ArgCheck::exact_tuple}, {"image_colors", ArgCheck::exact_list}};
constexpr Param similarity_params[] = {
    {"image"}, {"target_colors", ArgCheck::exact_dict}, {"mask"}, {"similarity_threshold"}};
constexpr Param matches_params[] = {{"image"}, {"target_colors", ArgCheck::exact_dict}, {"mask"}};
constexpr Param state_params[] = {{"__pyx_state"}};
constexpr Param unpickle_params[] = {{"__pyx_type"}, {"__pyx_checksum"}, {"__pyx_state"}};

PyObject* preprocess_image(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"_preprocess_image", image_params, 1, 1};
    PyObject* bound[1];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return extractor(self)->ops->preprocess_image(extractor(self), bound[0], 1);
}

PyObject* convert_to_feature_space(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"_convert_to_feature_space", image_params, 1, 1};
    PyObject* bound[1];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return extractor(self)->ops->convert_to_feature_space(extractor(self), bound[0], 1);
}

PyObject* apply_mask(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"_apply_mask", image_mask_params, 2, 2};
    PyObject* bound[2];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return extractor(self)->ops->apply_mask(extractor(self), bound[0], bound[1], 1);
}

PyObject* extract_pixels(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"_extract_pixels", extract_pixels_params, 2, 1};
    PyObject* bound[2];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return extractor(self)->ops->extract_pixels(extractor(self), bound[0], 1, or_none(bound[1]));
}

PyObject* cluster_colors_kmeans(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"_cluster_colors_kmeans", pixels_params, 1, 1};
    PyObject* bound[1];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return finish(clustering::cluster_colors_kmeans(extractor(self), bound[0]), signature.function_name);
}

PyObject* cluster_colors_dbscan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"_cluster_colors_dbscan", pixels_params, 1, 1};
    PyObject* bound[1];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return finish(clustering::cluster_colors_dbscan(extractor(self), bound[0]), signature.function_name);
}

PyObject* calculate_percentages(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"_calculate_percentages", labels_params, 1, 1};
    PyObject* bound[1];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return extractor(self)->ops->calculate_percentages(extractor(self), bound[0], 1);
}

PyObject* extract_colors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"extract_colors", extract_colors_params, 2, 1};
    PyObject* bound[2];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return finish(extraction::extract_colors(extractor(self), bound[0], or_none(bound[1])), signature.function_name);
}

PyObject* visualize_colors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"visualize_colors", visualize_params, 2, 1};
    PyObject* bound[2];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return finish(chart::visualize_colors(extractor(self), bound[0], or_none(bound[1])), signature.function_name);
}

PyObject* color_distance_lab(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"_color_distance_lab", distance_params, 2, 2};
    PyObject* bound[2];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    const double distance = extractor(self)->ops->color_distance_lab(extractor(self), bound[0], bound[1], 1);
    if (distance == -1.0 && PyErr_Occurred()) return nullptr;
    return finish(Ref::steal(PyFloat_FromDouble(distance)), signature.function_name);
}

PyObject* find_closest_color(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"_find_closest_color", closest_params, 2, 2};
    PyObject* bound[2];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return finish(matching::find_closest_color(extractor(self), bound[0], bound[1]), signature.function_name);
}

PyObject* analyze_color_similarity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"analyze_color_similarity", similarity_params, 4, 2};
    PyObject* bound[4];
    double threshold = 50.0;
    // The threshold is converted before the types are checked.
    if (bind_arguments(signature, args, nargs, kwnames, bound) < 0 ||
        (bound[3] && to_double(bound[3], &threshold) < 0) || !check_arguments(signature, bound)) {
        add_method_traceback(signature.function_name);
        return nullptr;
    }
    return finish(matching::analyze_color_similarity(extractor(self), bound[0], bound[1], or_none(bound[2]), threshold),
                  signature.function_name);
}

PyObject* find_color_matches(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"find_color_matches", matches_params, 3, 2};
    PyObject* bound[3];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return finish(matching::find_color_matches(extractor(self), bound[0], bound[1], or_none(bound[2])),
                  signature.function_name);
}

PyObject* reduce_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"__reduce_cython__", nullptr, 0, 0};
    if (!bind(signature, args, nargs, kwnames, nullptr)) return nullptr;
    return finish(pickling::reduce(extractor(self)), signature.function_name);
}

PyObject* setstate_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"__setstate_cython__", state_params, 1, 1};
    PyObject* bound[1];
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return finish(pickling::set_state(extractor(self), bound[0]), signature.function_name);
}

PyObject* unpickle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature signature{"__pyx_unpickle_ColorExtractor", unpickle_params, 3, 3};
    PyObject* bound[3];
    if (bind_arguments(signature, args, nargs, kwnames, bound) < 0) {
        add_traceback("lumvarde_quorle.color_extractor_cy.__pyx_unpickle_ColorExtractor");
        return nullptr;
    }
    Ref result = pickling::unpickle(bound[0], bound[1], bound[2]);
    if (!result) add_traceback("lumvarde_quorle.color_extractor_cy.__pyx_unpickle_ColorExtractor");
    return result.release();
}

const FunctionDef method_defs[] = {
    {"_preprocess_image", preprocess_image, docstrings::preprocess_image, "($self, image)", true},
    {"_convert_to_feature_space", convert_to_feature_space, docstrings::convert_to_feature_space, "($self, image)",
     true},
    {"_apply_mask", apply_mask, docstrings::apply_mask, "($self, image, mask)", true},
    {"_extract_pixels", extract_pixels, docstrings::extract_pixels, "($self, image, mask=None)", true},
    {"_cluster_colors_kmeans", cluster_colors_kmeans, docstrings::cluster_colors_kmeans, "($self, pixels)", true},
    {"_cluster_colors_dbscan", cluster_colors_dbscan, docstrings::cluster_colors_dbscan, "($self, pixels)", true},
    {"_calculate_percentages", calculate_percentages, docstrings::calculate_percentages, "($self, labels)", true},
    {"extract_colors", extract_colors, docstrings::extract_colors, "($self, image, mask=None)", true},
    {"visualize_colors", visualize_colors, docstrings::visualize_colors, "($self, colors, save_path=None)", true},
    {"_color_distance_lab", color_distance_lab, docstrings::color_distance_lab, "($self, color1, color2)", true},
    {"_find_closest_color", find_closest_color, docstrings::find_closest_color, "($self, target_color, image_colors)",
     true},
    {"analyze_color_similarity", analyze_color_similarity, docstrings::analyze_color_similarity,
     "($self, image, target_colors, mask=None, similarity_threshold=50.0)", true},
    {"find_color_matches", find_color_matches, docstrings::find_color_matches,
     "($self, image, target_colors, mask=None)", true},
    {"__reduce_cython__", reduce_cython, nullptr, "($self)", true},
    {"__setstate_cython__", setstate_cython, nullptr, "($self, __pyx_state)", true},
};
static_assert(sizeof(method_defs) / sizeof(method_defs[0]) == static_cast<size_t>(Method::count));

const FunctionDef unpickle_def = {"__pyx_unpickle_ColorExtractor", unpickle, nullptr,
                                  "(__pyx_type, __pyx_checksum, __pyx_state)", false};

}  // namespace

const FunctionDef& method_def(Method method) { return method_defs[static_cast<size_t>(method)]; }
const FunctionDef& unpickle_function_def() { return unpickle_def; }

PyMethodDef extractor_static_methods[] = {
    {"__reduce_cython__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce_cython)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setstate_cython)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace lq
