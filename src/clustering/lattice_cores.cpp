// Core colours: whole groups of colours are settled at once when the weight surely within eps of all
// of them already reaches min_samples, or the weight possibly within eps cannot; only the colours in
// between are counted one by one, and each such count stops as soon as its outcome is certain.
#include <algorithm>

#include "clustering/lattice_dbscan.hpp"

namespace lq::clustering::lattice {
namespace {

class CoreFinder {
public:
    CoreFinder(const Tree& tree, const Metric& metric, int64_t min_samples)
        : tree_(tree), metric_(metric), need_(min_samples), core_(tree.colour.size(), 0),
          partial_(tree.depth + 2) {}

    std::vector<uint8_t> run() {
        const int32_t root = 0;
        visit(root, 0, {&root, 1}, 0);
        return std::move(core_);
    }

private:
    struct Span {
        const int32_t* data;
        size_t size;
    };

    // `surely`: weight within eps of every colour of node q; `pending`: nodes that may be partly
    // within eps.
    void visit(int32_t q, int64_t surely, Span pending, int depth) {
        const Node& node = tree_.nodes[q];
        std::vector<int32_t>& partial = partial_[depth];
        partial.clear();
        int64_t possibly = surely;
        stack_.assign(pending.data, pending.data + pending.size);
        while (!stack_.empty()) {
            const Node& b = tree_.nodes[stack_.back()];
            const int32_t id = stack_.back();
            stack_.pop_back();
            if (metric_.most(node.box, b.box) <= kEpsSquared) {
                surely += b.weight;
                possibly += b.weight;
            } else if (metric_.least(node.box, b.box) > kEpsSquared) {
                continue;
            } else if (!b.leaf() && b.diameter2 >= node.diameter2) {
                stack_.push_back(b.child);  // refine the larger side first
                stack_.push_back(b.child + 1);
            } else {
                partial.push_back(id);
                possibly += b.weight;
            }
        }
        if (surely >= need_) {
            std::fill(core_.begin() + node.begin, core_.begin() + node.end, 1);
            return;
        }
        if (possibly < need_) return;
        const Span next{partial.data(), partial.size()};
        if (node.leaf()) {
            for (int32_t i = node.begin; i < node.end; ++i) core_[i] = count_reaches(i, surely, possibly, next);
            return;
        }
        visit(node.child, surely, next, depth + 1);
        visit(node.child + 1, surely, next, depth + 1);
    }

    // Whether the colour at tree position i is core, given the weights settled for its leaf.
    uint8_t count_reaches(int32_t i, int64_t surely, int64_t possibly, Span pending) {
        const uint8_t* p = tree_.colour[i].data();
        const Box at = point_box(p);
        stack_.assign(pending.data, pending.data + pending.size);
        while (!stack_.empty()) {
            if (surely >= need_) return 1;
            if (possibly < need_) return 0;
            const Node& b = tree_.nodes[stack_.back()];
            stack_.pop_back();
            if (metric_.most(at, b.box) <= kEpsSquared) {
                surely += b.weight;
            } else if (metric_.least(at, b.box) > kEpsSquared) {
                possibly -= b.weight;
            } else if (!b.leaf()) {
                stack_.push_back(b.child);
                stack_.push_back(b.child + 1);
            } else {
                for (int32_t j = b.begin; j < b.end; ++j) {
                    if (metric_.distance2(p, tree_.colour[j].data()) <= kEpsSquared)
                        surely += tree_.weight[j];
                    else
                        possibly -= tree_.weight[j];
                }
            }
        }
        return surely >= need_;
    }

    const Tree& tree_;
    const Metric& metric_;
    const int64_t need_;
    std::vector<uint8_t> core_;
    std::vector<std::vector<int32_t>> partial_;  // one list per depth of the query recursion
    std::vector<int32_t> stack_;
};

}  // namespace

std::vector<uint8_t> find_cores(const Tree& tree, const Metric& metric, int64_t min_samples) {
    return CoreFinder(tree, metric, min_samples).run();
}

}  // namespace lq::clustering::lattice
