// Non-core colours: each takes the smallest cluster number among the cores within eps of it. The
// search is branch and bound over the tree, skipping every node whose smallest cluster number cannot
// improve on the best found so far.
#include <algorithm>
#include <limits>

#include "kernels/dbscan/dbscan.hpp"

namespace lq::kernels::dbscan {
namespace {

constexpr int32_t kNone = std::numeric_limits<int32_t>::max();

class Borders {
public:
    Borders(const Tree& tree, const std::vector<uint8_t>& core, std::vector<int32_t>& label, Stop& stop)
        : tree_(tree), core_(core), label_(label), stop_(stop), smallest_(tree.nodes.size(), kNone) {}

    void run() {
        for (int32_t n = static_cast<int32_t>(tree_.nodes.size()) - 1; n >= 0; --n) {
            const Node& node = tree_.nodes[n];
            if (!node.used()) continue;
            if (node.leaf()) {
                for (int32_t i = node.begin; i < node.end; ++i)
                    if (core_[i]) smallest_[n] = std::min(smallest_[n], label_[i]);
            } else {
                smallest_[n] = std::min(smallest_[first_child(n)], smallest_[first_child(n) + 1]);
            }
        }
        if (smallest_[0] == kNone) return;  // no cores: everything is noise
        for (int32_t i = 0; i < static_cast<int32_t>(core_.size()); ++i) {
            if ((i & 255) == 0) stop_.poll();
            if (!core_[i]) label_[i] = nearest_cluster(i);
        }
    }

private:
    int32_t nearest_cluster(int32_t i) {
        const Point p = tree_.at(i);
        const Bounds at = point_bounds(p);
        int32_t best = kNone;
        stack_.assign(1, 0);
        while (!stack_.empty()) {
            const int32_t n = stack_.back();
            stack_.pop_back();
            if (smallest_[n] >= best) continue;
            const Node& node = tree_.nodes[n];
            if (least(at, node.box) > kEpsSquared) continue;
            if (most(at, node.box) <= kEpsSquared) {
                best = smallest_[n];
            } else if (!node.leaf()) {
                // The child with the smaller cluster number is searched first.
                const int32_t left = first_child(n), right = left + 1;
                const bool left_first = smallest_[left] <= smallest_[right];
                stack_.push_back(left_first ? right : left);
                stack_.push_back(left_first ? left : right);
            } else {
                for (int32_t j = node.begin; j < node.end; ++j)
                    if (core_[j] && label_[j] < best && distance2(p, tree_.at(j)) <= kEpsSquared) best = label_[j];
            }
        }
        return best == kNone ? -1 : best;
    }

    const Tree& tree_;
    const std::vector<uint8_t>& core_;
    std::vector<int32_t>& label_;
    Stop& stop_;
    std::vector<int32_t> smallest_;  // smallest cluster number of the cores in each node
    std::vector<int32_t> stack_;
};

}  // namespace

void attach_borders(const Tree& tree, const std::vector<uint8_t>& core, std::vector<int32_t>& label, Stop& stop) {
    Borders(tree, core, label, stop).run();
}

}  // namespace lq::kernels::dbscan
