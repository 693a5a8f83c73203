// Colour clustering of pixel rows; each returns the pair (centres, labels).
#pragma once

#include "interop/ref.hpp"
#include "model/extractor.hpp"

namespace lq::clustering {

Ref cluster_colors_kmeans(ColorExtractor* self, PyObject* pixels);
Ref cluster_colors_dbscan(ColorExtractor* self, PyObject* pixels);

}  // namespace lq::clustering
