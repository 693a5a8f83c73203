// The driver: load, prepare, cluster, count, then convert and assemble the result.
#include "clustering/kmeans_native.hpp"
#include "extraction/extraction.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "interop/traceback.hpp"
#include "model/route.hpp"
#include "model/stages.hpp"
#include "preparation/preparation.hpp"

namespace lq::extraction {
namespace {

// Clusters the rows by the route: the module's own K-means method is given its result by the native
// K-means (the library's, computed over the distinct colours, or the library call itself where the native
// fit cannot vouch for it) with the exact sums of its clusters; any other _cluster_colors_kmeans (the
// library variant's, a subclass's, one bound on the instance) is called as it is, and DBSCAN is the
// method the instance's lookup finds.
Ref cluster(ColorExtractor* self, PyObject* pixels, std::optional<kernels::ClusterSums>* sums) {
    const model::Decision decision = model::route(self, Py_None, model::Horizon::rows);
    switch (decision.route) {
        case model::Route::native_kmeans_rows:
        case model::Route::native_kmeans_image: {
            Ref result = clustering::kmeans_native_or_library(self, pixels, sums);
            if (!result) add_method_traceback("_cluster_colors_kmeans", decision.owner);
            return result;
        }
        case model::Route::library_kmeans:
        case model::Route::own_method: return call(decision.method, {pixels});
        case model::Route::dbscan:
            return call_method(reinterpret_cast<PyObject*>(self), name<"_cluster_colors_dbscan">(), {pixels});
        case model::Route::unknown_algorithm: model::raise_unknown_algorithm(self); break;
        case model::Route::error: break;
    }
    return Ref();
}

}  // namespace

Ref colors_of_clusters(ColorExtractor* self, PyObject* pixels, PyObject* clustered,
                       std::optional<kernels::ClusterSums> sums) {
    Ref colors, labels;
    if (unpack_pair(clustered, &colors, &labels) < 0) return Ref();
    if (check_instance_or_none(labels.get(), ndarray_type()) < 0) return Ref();
    Ref percentages = stage::calculate_percentages(self, labels.get());
    if (!percentages) return Ref();
    if (!sums) {
        kernels::ClusterSums found;
        const Applies known = cluster_sums_of(colors.get(), pixels, labels.get(), &found);
        if (known == Applies::error) return Ref();
        if (known == Applies::yes) sums.emplace(std::move(found));
    }
    Ref colors_rgb = centres_to_rgb(self, colors.get(), sums ? &*sums : nullptr);
    if (!colors_rgb) return Ref();
    return assemble_result(colors_rgb.get(), labels.get(), percentages.get());
}

Ref extract_colors(ColorExtractor* self, PyObject* image, PyObject* mask) {
    const Operation operation(self);
    Ref feature_image, loaded_mask;
    if (preparation::prepared_feature_image(self, image, mask, &feature_image, &loaded_mask) < 0) return Ref();
    Ref result;
    const Applies from_image = extract_from_image(self, feature_image.get(), loaded_mask.get(), &result);
    if (from_image == Applies::error) return Ref();
    if (from_image == Applies::yes) return result;
    Ref pixels = stage::extract_pixels(self, feature_image.get(), loaded_mask.get());
    if (!pixels) return Ref();
    const Py_ssize_t rows = PyObject_Length(pixels.get());
    if (rows < 0) return Ref();
    // Nothing left to analyse: no colours, whatever the algorithm setting.
    if (rows == 0) return Ref::steal(PyList_New(0));
    std::optional<kernels::ClusterSums> sums;
    Ref clustered = cluster(self, pixels.get(), &sums);
    if (!clustered) return Ref();
    return colors_of_clusters(self, pixels.get(), clustered.get(), std::move(sums));
}

}  // namespace lq::extraction
