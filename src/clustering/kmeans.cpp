#include "clustering/clustering.hpp"
#include "interop/not_implemented.hpp"

namespace lq::clustering {

Ref cluster_colors_kmeans(ColorExtractor*, PyObject*) { return not_implemented("_cluster_colors_kmeans"); }

}  // namespace lq::clustering
