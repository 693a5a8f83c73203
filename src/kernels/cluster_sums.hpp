// Per-cluster sums of 8-bit rows and row counts, exact in 64-bit integers: a cluster's mean as the
// exact fraction sum / count, whatever order the clustering summed its rows in.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/distinct_rows.hpp"
#include "kernels/stop.hpp"

namespace lq::kernels {

struct ClusterSums {
    std::vector<std::int64_t> sums;    // three per cluster
    std::vector<std::int64_t> counts;  // rows per cluster

    explicit ClusterSums(int clusters = 0)
        : sums(3 * static_cast<std::size_t>(clusters), 0), counts(static_cast<std::size_t>(clusters), 0) {}
    int clusters() const noexcept { return static_cast<int>(counts.size()); }
    // floor(sum / count) of channel f of cluster j, which has rows.
    std::int64_t truncated_mean(int j, int f) const noexcept { return sums[3 * j + f] / counts[j]; }
};

// A cluster's share of the rows as _calculate_percentages computes it: counts / total * 100, the
// division first, as NumPy evaluates it. Every native road that reports or orders shares uses this.
inline double share_percentage(std::int64_t count, std::int64_t rows) noexcept {
    return static_cast<double>(count) / static_cast<double>(rows) * 100.0;
}

// Rows labelled outside [0, clusters) (noise, or groups without a centre) count nowhere.
ClusterSums sum_by_label(const ByteRows& rows, const std::int64_t* labels, int clusters, Stop& stop);

// The same from distinct colours, their row counts and a label per colour.
ClusterSums sum_by_colour_label(const DistinctRows& colours, const std::vector<std::int32_t>& labels, int clusters);

}  // namespace lq::kernels
