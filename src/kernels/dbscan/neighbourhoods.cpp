// The total size of the neighbourhood lists a row-by-row DBSCAN would build, counted by a dual-tree
// walk: a pair of nodes entirely within eps adds the product of their weights at once, a pair entirely
// beyond it adds nothing, and only the pairs in between are split.
#include "kernels/dbscan/dbscan.hpp"

namespace lq::kernels::dbscan {
namespace {

class PairCounter {
public:
    PairCounter(const Tree& tree, Stop& stop) : tree_(tree), stop_(stop) {}

    Neighbourhoods run() {
        visit(0, 0);
        return totals_;
    }

private:
    void visit(int32_t a, int32_t b) {
        const Node& na = tree_.nodes[a];
        const Node& nb = tree_.nodes[b];
        if (least(na.box, nb.box) > kEpsSquared) return;
        if (most(na.box, nb.box) <= kEpsSquared) {
            totals_.rows += na.weight * nb.weight;
            totals_.colours += static_cast<int64_t>(na.end - na.begin) * (nb.end - nb.begin);
            return;
        }
        if (na.leaf() && nb.leaf()) {
            if ((++leaf_pairs_ & 1023) == 0) stop_.poll();
            for (int32_t i = na.begin; i < na.end; ++i) {
                const Point p = tree_.at(i);
                for (int32_t j = nb.begin; j < nb.end; ++j) {
                    if (distance2(p, tree_.at(j)) > kEpsSquared) continue;
                    totals_.rows += tree_.weight[i] * tree_.weight[j];
                    ++totals_.colours;
                }
            }
            return;
        }
        // Split the node that is not a leaf, the wider one when both can be split.
        const bool split_a = nb.leaf() || (!na.leaf() && diameter2(na.box) >= diameter2(nb.box));
        if (split_a) {
            visit(first_child(a), b);
            visit(first_child(a) + 1, b);
        } else {
            visit(a, first_child(b));
            visit(a, first_child(b) + 1);
        }
    }

    const Tree& tree_;
    Stop& stop_;
    Neighbourhoods totals_;
    uint64_t leaf_pairs_ = 0;
};

}  // namespace

Neighbourhoods count_neighbourhoods(const Metric& metric, const std::array<uint8_t, 3>* colours, const int64_t* weights,
                                    int32_t count, Stop& stop) {
    if (count == 0) return {};
    const Tree tree = build_tree(metric, colours, weights, count);
    return PairCounter(tree, stop).run();
}

}  // namespace lq::kernels::dbscan
