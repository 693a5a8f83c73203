#include "kernels/cluster_sums.hpp"

namespace lq::kernels {

ClusterSums sum_by_label(const ByteRows& rows, const std::int64_t* labels, int clusters, Stop& stop) {
    ClusterSums result(clusters);
    for (std::ptrdiff_t i = 0; i < rows.count; ++i) {
        if (i % (1 << 20) == 0) stop.poll();
        const std::int64_t label = labels[i];
        if (label < 0 || label >= clusters) continue;
        const std::uint8_t* row = rows.row(i);
        for (int f = 0; f < 3; ++f) result.sums[3 * label + f] += row[f * rows.channel_stride];
        ++result.counts[label];
    }
    return result;
}

ClusterSums sum_by_colour_label(const DistinctRows& colours, const std::vector<std::int32_t>& labels, int clusters) {
    ClusterSums result(clusters);
    const auto& values = colours.colours();
    const auto& weights = colours.weights();
    for (std::size_t c = 0; c < labels.size(); ++c) {
        const std::int32_t label = labels[c];
        if (label < 0 || label >= clusters) continue;
        for (int f = 0; f < 3; ++f) result.sums[3 * label + f] += weights[c] * values[c][f];
        result.counts[label] += weights[c];
    }
    return result;
}

}  // namespace lq::kernels
