// Steps of scikit-learn's own K-means for the parts of a fit that the native kernel leaves to the
// library: the k-means++ seeding of single runs, the Lloyd iterations of single runs and, with fewer
// distinct colours than clusters, the first run's Lloyd iterations. They work on the arrays that KMeans.fit makes of
// the rows, built only when a fit needs them and released right after.
#pragma once

#include <cstdint>
#include <vector>

#include "interop/globals.hpp"
#include "interop/ref.hpp"
#include "kernels/distinct_rows.hpp"
#include "kernels/kmeans/kmeans.hpp"

namespace lq::clustering {

// The K-means module's namespace: where scikit-learn keeps the names it uses itself.
Ref kmeans_module();

// One more call left to the library (`what`: KMeans.fit for a whole fit, _kmeans_plusplus for one
// run's seeding) for `reason`, counted in the module's _kmeans_fallbacks under (what, the reason's name).
// 0, or -1 with an exception set.
int count_fallback(const char* what, kernels::kmeans::library::Reason reason);

// The module's _kmeans_fallback_reasons: every reason's name and what it means. -1 with an exception set.
int publish_fallback_reasons(PyObject* module);

// The library's ConvergenceWarning when some clusters ended up without rows (labels by colour).
int warn_if_fewer_clusters(const std::vector<std::int32_t>& labels, int k);

// The library's k-means++ for `runs`, the runs whose seeding the fit left open; their seeds are given
// to the fit. 0, or -1 with an exception set.
int seed_by_library(kernels::kmeans::Fit& fit, const std::vector<int>& runs, const kernels::DistinctRows& colours,
                    const kernels::RowColours& row_colours, int k);

// The library's own Lloyd iterations (_kmeans_single_lloyd on the rows, from the run's initial centres)
// for `runs`, the runs whose iterations the fit left open; each is given to the fit. yes when every run
// was taken; no (counted) when some run's labels differ between rows of one colour, which only KMeans.fit
// can then say.
Applies iterate_by_library(kernels::kmeans::Fit& fit, const std::vector<int>& runs,
                           const kernels::DistinctRows& colours, const kernels::RowColours& row_colours, int k);

// The whole fit when the rows have fewer distinct colours than the k clusters. yes with *result set
// to the pair (centres, labels); no when only KMeans.fit itself can say.
Applies fit_by_first_run(kernels::kmeans::Fit& fit, const kernels::DistinctRows& colours,
                         const kernels::RowColours& row_colours, int k, Ref* result);

}  // namespace lq::clustering
