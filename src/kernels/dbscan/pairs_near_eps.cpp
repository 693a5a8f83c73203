#include "kernels/dbscan/pairs_near_eps.hpp"

#include <algorithm>
#include <cmath>

namespace lq::kernels::dbscan {
namespace {

constexpr double kUnitRoundoff = 0x1p-53;
constexpr double kWindow = 0x1p-46;

struct Range {
    int lo[3] = {255, 255, 255};
    int hi[3] = {0, 0, 0};
};

Range occupied_range(const DistinctRows& colours) {
    Range range;
    for (const auto& c : colours.colours())
        for (int k = 0; k < 3; ++k) {
            range.lo[k] = std::min<int>(range.lo[k], c[k]);
            range.hi[k] = std::max<int>(range.hi[k], c[k]);
        }
    return range;
}

// A bound on |distance2 - exact squared length of the offset| for the pairs near eps: each scaled
// value carries two roundings relative to its magnitude, then come the difference, the squares and
// the two sums. 64 covers the 17 that the worst case needs.
double rounding_allowance(const Metric& metric, const Range& range) {
    double largest = 0.0;
    for (int k = 0; k < 3; ++k)
        largest =
            std::max({largest, std::fabs(metric.scaled[k][range.lo[k]]), std::fabs(metric.scaled[k][range.hi[k]])});
    return kWindow + 64.0 * kUnitRoundoff * (largest + 1.0);
}

bool fragile_at_offset(const Metric& metric, const DistinctRows& colours, const int offset[3]) {
    for (const auto& p : colours.colours()) {
        int q[3];
        for (int k = 0; k < 3; ++k) q[k] = p[k] + offset[k];
        if (q[0] < 0 || q[0] > 255 || q[1] < 0 || q[1] > 255 || q[2] < 0 || q[2] > 255) continue;
        const int32_t found = colours.find(q[0], q[1], q[2]);
        if (found >= 0 && is_fragile(metric, p.data(), colours.colours()[found].data())) return true;
    }
    return false;
}

}  // namespace

bool is_fragile(const Metric& metric, const uint8_t* p, const uint8_t* q) {
    const double d2 = metric.distance2(p, q);
    if (std::fabs(d2 - kEpsSquared) > kWindow) return false;
    if (d2 > kEpsSquared) return true;
    for (int k = 0; k < 3; ++k) {
        const double d = metric.scaled[k][p[k]] - metric.scaled[k][q[k]];
        if (std::fma(d, d, -(d * d)) != 0.0) return true;
    }
    return false;
}

bool has_fragile_pairs(const Metric& metric, const double scale[3], const DistinctRows& colours, Stop& stop) {
    if (colours.count() < 2) return false;
    const Range range = occupied_range(colours);
    const long double allowance = rounding_allowance(metric, range);
    int reach[3];
    for (int k = 0; k < 3; ++k) {
        const long double r = std::floor(scale[k] * std::sqrt(0.25L + allowance)) + 1;
        reach[k] = static_cast<int>(std::min<long double>(r, range.hi[k] - range.lo[k]));
    }
    // Offsets and their negatives give the same pairs: only the lexicographically positive half.
    int d[3];
    for (d[0] = 0; d[0] <= reach[0]; ++d[0])
        for (d[1] = d[0] ? -reach[1] : 0; d[1] <= reach[1]; ++d[1])
            for (d[2] = (d[0] || d[1]) ? -reach[2] : 1; d[2] <= reach[2]; ++d[2]) {
                long double length2 = 0;
                for (int k = 0; k < 3; ++k) {
                    const long double t = d[k] / static_cast<long double>(scale[k]);
                    length2 += t * t;
                }
                if (std::fabs(length2 - 0.25L) > allowance) continue;
                stop.poll();
                if (fragile_at_offset(metric, colours, d)) return true;
            }
    return false;
}

}  // namespace lq::kernels::dbscan
