#include "model/route.hpp"

#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/state.hpp"
#include "model/known_methods.hpp"
#include "model/stages.hpp"

namespace lq::model {
namespace {

enum class Algorithm { kmeans, dbscan, unknown };

// The setting is an exact str or None (__init__ and __setstate__ store nothing else), so comparing it runs
// no interpreter code and cannot fail.
Algorithm algorithm_of(ColorExtractor* self) {
    PyObject* algorithm = settings(self).algorithm;
    if (!algorithm || !PyUnicode_Check(algorithm)) return Algorithm::unknown;
    if (PyUnicode_CompareWithASCIIString(algorithm, "kmeans") == 0) return Algorithm::kmeans;
    if (PyUnicode_CompareWithASCIIString(algorithm, "dbscan") == 0) return Algorithm::dbscan;
    return Algorithm::unknown;
}

// Every stage the image road runs before clustering or skips, in the order they are asked.
Applies image_stages_are_own(ColorExtractor* self, PyObject* mask) {
    for (Stage stage : {Stage::preprocess_image, Stage::convert_to_feature_space, Stage::extract_pixels,
                        Stage::calculate_percentages, Stage::apply_mask}) {
        if (stage == Stage::apply_mask && mask == Py_None) continue;
        const Applies own = stage::runs_own(self, stage);
        if (own != Applies::yes) return own;
    }
    return Applies::yes;
}

}  // namespace

Decision route(ColorExtractor* self, PyObject* mask, Horizon horizon) {
    const Algorithm algorithm = algorithm_of(self);
    if (algorithm == Algorithm::dbscan) return {Route::dbscan};
    if (horizon == Horizon::settings)
        return {library_kmeans_lineage(Py_TYPE(self)) ? Route::library_kmeans : Route::native_kmeans_rows};
    if (algorithm == Algorithm::unknown) return {Route::unknown_algorithm};
    Decision decision;
    decision.method = attr(reinterpret_cast<PyObject*>(self), name<"_cluster_colors_kmeans">());
    if (!decision.method) return decision;
    decision.owner = native_kmeans_class(decision.method.get());
    if (!decision.owner) {
        decision.route = is_library_kmeans(decision.method.get()) ? Route::library_kmeans : Route::own_method;
        return decision;
    }
    decision.route = Route::native_kmeans_rows;
    if (horizon == Horizon::image) {
        const Applies own = image_stages_are_own(self, mask);
        if (own == Applies::error) decision.route = Route::error;
        else if (own == Applies::yes) decision.route = Route::native_kmeans_image;
    }
    return decision;
}

void raise_unknown_algorithm(ColorExtractor* self) {
    Ref message = Ref::steal(PyUnicode_FromFormat("Unknown algorithm: %S", settings(self).algorithm));
    if (message) PyErr_SetObject(process_state().ValueError.get(), message.get());
}

}  // namespace lq::model
