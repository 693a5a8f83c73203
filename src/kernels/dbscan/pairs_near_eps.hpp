// Pairs of colours at the very edge of eps. scikit-learn decides most pairs with the plain test
// (distance2 <= eps squared), but settles whole tree nodes by box bounds computed with pow() and a
// square root, which can differ from the plain test by a few units in the last place. A pair whose
// distance2 lies within such a hair of eps squared may therefore be counted either way, depending
// on how the tree happens to split the rows: such a pair is "fragile".
#pragma once

#include "kernels/dbscan/metric.hpp"
#include "kernels/distinct_rows.hpp"
#include "kernels/stop.hpp"

namespace lq::kernels::dbscan {

// Whether two of the colours form a fragile pair. `scale` is the per-channel divisor of the
// standardisation. The standardised difference of two colours is, up to rounding, a function of
// their 8-bit offset alone, so only offsets whose exact squared length comes near eps squared need
// a look at actual pairs; for photos there are usually none.
bool has_fragile_pairs(const Metric& metric, const double scale[3], const DistinctRows& colours, Stop& stop);

// The test for one pair: distance2 within 2^-46 of eps squared, unless it is at most eps squared
// with all three squares exact (every bound is then exact too, and the pair is a neighbour).
bool is_fragile(const Metric& metric, const uint8_t* p, const uint8_t* q);

}  // namespace lq::kernels::dbscan
