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
    int equal = PyObject_RichCompareBool(algorithm, name<"kmeans">(), Py_EQ);
    if (equal < 0) return Ref();
    if (equal) return cluster_kmeans(self, pixels, sums);
    equal = PyObject_RichCompareBool(algorithm, name<"dbscan">(), Py_EQ);
    if (equal < 0) return Ref();
    if (equal) return call_method(instance, name<"_cluster_colors_dbscan">(), {pixels});
    Ref message = Ref::steal(PyUnicode_FromFormat("Unknown algorithm: %S", algorithm));
    if (message) PyErr_SetObject(process_state().ValueError, message.get());
    return Ref();
}

// Clustering, share counting and the result, for a non-empty set of pixel rows.
Ref dominant_colors(ColorExtractor* self, PyObject* pixels) {
    std::optional<kernels::ClusterSums> sums;
    Ref clustered = cluster(self, pixels, &sums);
    if (!clustered) return Ref();
    Ref colors, labels;
    if (unpack_pair(clustered.get(), &colors, &labels) < 0) return Ref();
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

}  // namespace

Ref extract_colors(ColorExtractor* self, PyObject* image, PyObject* mask) {
    const Operation operation(self);
    Ref pixels = preparation::prepared_pixels(self, image, mask);
    if (!pixels) return Ref();
    const Py_ssize_t rows = PyObject_Length(pixels.get());
    if (rows < 0) return Ref();
    // Nothing left to analyse: no colours, whatever the algorithm setting.
    if (rows == 0) return Ref::steal(PyList_New(0));
    return dominant_colors(self, pixels.get());
}

}  // namespace lq::extraction
