// The K-means of ColorExtractor.extract_colors and of FastColorExtractor._cluster_colors_kmeans:
// scikit-learn's KMeans(n_colors, random_state=42, n_init=10).fit_predict result computed natively over
// the distinct colours, or by the library call itself wherever the native fit does not apply or cannot
// vouch for the library's answer. Every library fit it makes is counted by reason in the module's
// _kmeans_fallbacks.
#pragma once

#include <optional>

#include "frame/extractor.hpp"
#include "interop/ref.hpp"
#include "kernels/cluster_sums.hpp"

namespace lq::clustering {

// The pair (centres, labels). With `sums`, a native fit also sets the exact integer sums of its
// clusters there (left empty when the library fitted).
Ref kmeans_native_or_library(ColorExtractor* self, PyObject* pixels, std::optional<kernels::ClusterSums>* sums);

// FastColorExtractor._cluster_colors_kmeans.
Ref cluster_colors_kmeans_native(ColorExtractor* self, PyObject* pixels);

}  // namespace lq::clustering
