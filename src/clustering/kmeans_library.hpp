// What the native K-means path takes from scikit-learn's own K-means module: the module itself, its
// warning, and the count of the calls the path leaves to it.
#pragma once

#include <cstdint>
#include <vector>

#include "interop/globals.hpp"
#include "interop/ref.hpp"

namespace lq::clustering {

// The K-means module's namespace: where scikit-learn keeps the names it uses itself.
Ref kmeans_module();

// One more call left to the library (`what`: KMeans.fit for a whole fit) for `reason`, counted in the
// module's _kmeans_fallbacks. 0, or -1 with an exception set.
int count_fallback(const char* what, const char* reason);

// The library's ConvergenceWarning when some clusters ended up without rows (labels by colour).
int warn_if_fewer_clusters(const std::vector<std::int32_t>& labels, int k);

}  // namespace lq::clustering
