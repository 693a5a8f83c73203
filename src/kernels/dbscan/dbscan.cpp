#include "kernels/dbscan/dbscan.hpp"

namespace lq::kernels::dbscan {

std::vector<int32_t> cluster(const Metric& metric, const std::array<uint8_t, 3>* colours, const int64_t* weights,
                             int32_t count, int64_t min_samples, Stop& stop) {
    const Tree tree = build_tree(metric, colours, weights, count);
    stop.poll();
    std::vector<uint8_t> core = find_cores(tree, min_samples, true, stop);
    const std::vector<int32_t> label = label_positions(tree, min_samples, core, stop);
    std::vector<int32_t> by_colour(count);
    for (int32_t i = 0; i < count; ++i) by_colour[tree.index[i]] = label[i];
    return by_colour;
}

}  // namespace lq::kernels::dbscan
