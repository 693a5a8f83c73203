// The K-means of ColorExtractor.extract_colors and of FastColorExtractor._cluster_colors_kmeans:
// scikit-learn's KMeans(n_colors, random_state=42, n_init=10).fit_predict result computed natively over
// the distinct colours, or by the library call itself wherever the native fit does not apply or cannot
// vouch for the library's answer. Every library fit it makes is counted by reason in the module's
// _kmeans_fallbacks.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "interop/globals.hpp"
#include "interop/ref.hpp"
#include "kernels/cluster_sums.hpp"
#include "kernels/pixel_rows.hpp"
#include "model/extractor.hpp"

namespace lq::clustering {

// The pair (centres, labels). With `sums`, a native fit also sets the exact integer sums of its
// clusters there (left empty when the library fitted).
Ref kmeans_native_or_library(ColorExtractor* self, PyObject* pixels, std::optional<kernels::ClusterSums>* sums);

// FastColorExtractor._cluster_colors_kmeans.
Ref cluster_colors_kmeans_native(ColorExtractor* self, PyObject* pixels);

// K-means of an image's kept pixels for extract_colors, where nothing asks for the labels of the rows:
// the fit over the distinct colours, with the size and exact sums of every cluster; or, where only the
// library can say, its (centres, labels) pair on the rows array, made for it.
struct ImageFit {
    std::int64_t rows = 0;
    Ref centres;  // one row per cluster
    int clusters = 0;
    std::vector<std::int32_t> labels_by_colour;
    kernels::ClusterSums sums;
    Ref library_pair;  // set when the library fitted,
    Ref library_rows;  // on these rows
};

// yes with *fit set; no when the interpreter's road is to run (the native fit does not apply, or there
// are fewer kept pixels than clusters), nothing counted.
Applies kmeans_of_image(ColorExtractor* self, const kernels::ImagePixels& image, ImageFit* fit);

}  // namespace lq::clustering
