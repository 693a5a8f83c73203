// _cluster_colors_kmeans of FastColorExtractor: scikit-learn's KMeans(n_colors, random_state=42,
// n_init=10).fit_predict result computed natively over the distinct colours, or by the library call
// itself wherever the native fit does not apply or cannot vouch for the library's answer.
#pragma once

#include "frame/extractor.hpp"
#include "interop/ref.hpp"

namespace lq::clustering {

Ref cluster_colors_kmeans_native(ColorExtractor* self, PyObject* pixels);

}  // namespace lq::clustering
