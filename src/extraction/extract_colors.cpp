// The driver: load, prepare, cluster, count, then convert and assemble the result.
#include "clustering/kmeans_native.hpp"
#include "extraction/extraction.hpp"
#include "frame/methods.hpp"
#include "frame/stages.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "interop/traceback.hpp"
#include "preparation/preparation.hpp"

namespace lq::extraction {
namespace {

// _cluster_colors_kmeans as the instance's lookup finds it. When that is the module's own method, the
// native K-means gives its result (the library's, computed over the distinct colours, or the library
// call itself where the native fit cannot vouch for it) and the exact sums of its clusters; a method of
// a subclass, or one bound on the instance, is called as it is.
Ref cluster_kmeans(ColorExtractor* self, PyObject* pixels, std::optional<kernels::ClusterSums>* sums) {
    Ref method = attr(reinterpret_cast<PyObject*>(self), name<"_cluster_colors_kmeans">());
    if (!method) return Ref();
    const char* owner = native_kmeans_owner(method.get());
    if (!owner) return call(method, {pixels});
    Ref result = clustering::kmeans_native_or_library(self, pixels, sums);
    if (!result) add_method_traceback("_cluster_colors_kmeans", owner);
    return result;
}

// The clustering method named by `algorithm` (exact, case-sensitive), looked up on the instance so
// that a subclass's or an instance attribute's method is used.
Ref cluster(ColorExtractor* self, PyObject* pixels, std::optional<kernels::ClusterSums>* sums) {
    PyObject* algorithm = settings(self).algorithm;
    PyObject* instance = reinterpret_cast<PyObject*>(self);
    int equal = compare_bool(algorithm, name<"kmeans">(), Py_EQ);
    if (equal < 0) return Ref();
    if (equal) return cluster_kmeans(self, pixels, sums);
    equal = compare_bool(algorithm, name<"dbscan">(), Py_EQ);
    if (equal < 0) return Ref();
    if (equal) return call_method(instance, name<"_cluster_colors_dbscan">(), {pixels});
    Ref message = Ref::steal(PyUnicode_FromFormat("Unknown algorithm: %S", algorithm));
    if (message) PyErr_SetObject(process_state().ValueError.get(), message.get());
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
