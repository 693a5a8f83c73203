// extract_colors straight from the feature image: the kept pixels are read once, into the table of
// their distinct colours that the native K-means works on, and the shares are counted from the
// clusters' sizes. No array of pixel rows and no label of every row is made, since nothing observes
// them: this road runs only while every stage it skips (_extract_pixels, _apply_mask with a mask,
// _cluster_colors_kmeans, _calculate_percentages) and every stage before it is the module's own, and
// gives what those stages together give.
#include <vector>

#include "clustering/kmeans_native.hpp"
#include "extraction/extraction.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/numpy_api.hpp"
#include "interop/traceback.hpp"
#include "model/route.hpp"
#include "preparation/preparation.hpp"

namespace lq::extraction {
namespace {

// _calculate_percentages of the labels: for each label that occurs, in ascending order, its share.
Ref shares(const kernels::ClusterSums& sums, std::int64_t rows, std::vector<long long>* present) {
    Ref percentages = Ref::steal(PyList_New(0));
    if (!percentages) return Ref();
    for (int label = 0; label < sums.clusters(); ++label) {
        if (sums.counts[label] == 0) continue;
        present->push_back(label);
        Ref share = Ref::steal(PyFloat_FromDouble(kernels::share_percentage(sums.counts[label], rows)));
        if (!share || PyList_Append(percentages.get(), share.get()) < 0) return Ref();
    }
    return percentages;
}

}  // namespace

Applies extract_from_image(ColorExtractor* self, PyObject* feature_image, PyObject* mask, Ref* result) {
    const model::Decision decision = model::route(self, mask, model::Horizon::image);
    if (decision.route == model::Route::error) return Applies::error;
    if (decision.route != model::Route::native_kmeans_image) return Applies::no;
    kernels::ImagePixels pixels{};
    Ref grey;
    const Applies readable = preparation::native_pixels(feature_image, mask, &pixels, &grey);
    if (readable != Applies::yes) return readable;
    if (grey.is(mask)) {
        // The caller's mask, which other threads may write to while the fit reads it without the GIL.
        grey = Ref::steal(PyArray_NewCopy(as_array(mask), NPY_CORDER));
        if (!grey) return Applies::error;
        pixels.mask = static_cast<const std::uint8_t*>(PyArray_DATA(as_array(grey.get())));
        pixels.mask_row_stride = pixels.width;
        pixels.mask_column_stride = 1;
    }
    clustering::ImageFit fit;
    const Applies fitted = clustering::kmeans_of_image(self, pixels, &fit);
    if (fitted == Applies::error) add_method_traceback("_cluster_colors_kmeans", decision.owner);
    if (fitted != Applies::yes) return fitted;
    if (fit.rows == 0) {
        *result = Ref::steal(PyList_New(0));
        return *result ? Applies::yes : Applies::error;
    }
    if (fit.library_pair) {
        *result = colors_of_clusters(self, fit.library_rows.get(), fit.library_pair.get(), std::nullopt);
        return *result ? Applies::yes : Applies::error;
    }
    std::vector<long long> present;
    Ref percentages = shares(fit.sums, fit.rows, &present);
    Ref colors_rgb = percentages ? centres_to_rgb(self, fit.centres.get(), &fit.sums) : Ref();
    *result = colors_rgb ? assemble_result_by_labels(colors_rgb.get(), present, percentages.get()) : Ref();
    return *result ? Applies::yes : Applies::error;
}

}  // namespace lq::extraction
