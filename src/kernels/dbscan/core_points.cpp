// Core colours: whole groups of colours are settled at once when the weight surely within eps of all
// of them already reaches min_samples, or the weight possibly within eps cannot; only the colours in
// between are counted one by one, and each such count stops as soon as its outcome is certain. A small
// group whose uncertain weight dwarfs its distance from min_samples (noise-like colours, every one near
// the threshold) is left unsettled: counting it costs most of the work, and few of its flags change a
// label (deferred_cores.cpp counts those).
#include <algorithm>
#include <iterator>
#include <utility>

#include "kernels/dbscan/dbscan.hpp"

namespace lq::kernels::dbscan {
namespace {

// A node of at most this many colours is left unsettled when its uncertain weight exceeds
// kDeferRatio times the margin by which its bounds miss min_samples.
constexpr int32_t kDeferSpan = 8 * kLeafSize;
constexpr int64_t kDeferRatio = 2;

class CoreFinder {
public:
    CoreFinder(const Tree& tree, int64_t min_samples, Stop& stop, bool defer = false)
        : tree_(tree), need_(min_samples), defer_(defer), stop_(stop), partial_(tree.depth + 2) {}

    std::vector<uint8_t> run() {
        core_.assign(tree_.size(), kNotCore);
        const int32_t root = 0;
        visit(root, 0, tree_.nodes[root].weight, {&root, 1}, 0);
        return std::move(core_);
    }

    // The flag of the colour at tree position i, counted from the root breadth first: the largest
    // nodes, which settle the most weight, are classified before any leaf is counted.
    uint8_t settle(int32_t i) {
        const Point p = tree_.at(i);
        const Bounds at = point_bounds(p);
        int64_t surely = 0, possibly = tree_.nodes[0].weight;
        stack_.assign(1, 0);
        for (size_t next = 0; next < stack_.size() && surely < need_ && possibly >= need_; ++next) {
            const int32_t id = stack_[next];
            if (!weigh(p, at, tree_.nodes[id], surely, possibly)) {
                stack_.push_back(first_child(id));
                stack_.push_back(first_child(id) + 1);
            }
        }
        return surely >= need_;
    }

private:
    struct Span {
        const int32_t* data;
        size_t size;
    };

    // `surely`: weight within eps of every colour of node q; `possibly`: that plus the weight of the
    // `pending` nodes, which may be partly within eps.
    void visit(int32_t q, int64_t surely, int64_t possibly, Span pending, int depth) {
        const Node& node = tree_.nodes[q];
        std::vector<int32_t>& partial = partial_[depth];
        partial.clear();
        const double size = diameter2(node.box);
        stack_.assign(pending.data, pending.data + pending.size);
        while (!stack_.empty() && surely < need_ && possibly >= need_) {
            const int32_t id = stack_.back();
            const Node& b = tree_.nodes[id];
            stack_.pop_back();
            if (most(node.box, b.box) <= kEpsSquared) {
                surely += b.weight;
            } else if (least(node.box, b.box) > kEpsSquared) {
                possibly -= b.weight;
            } else if (!b.leaf() && diameter2(b.box) >= size) {
                stack_.push_back(first_child(id));  // refine the larger side first
                stack_.push_back(first_child(id) + 1);
            } else {
                partial.push_back(id);
            }
        }
        if (surely >= need_) {
            std::fill(core_.begin() + node.begin, core_.begin() + node.end, 1);
            return;
        }
        if (possibly < need_) return;
        if (defer_ && node.end - node.begin <= kDeferSpan &&
            possibly - surely > kDeferRatio * std::min(need_ - surely, possibly - need_)) {
            std::fill(core_.begin() + node.begin, core_.begin() + node.end, kUnsettled);
            return;
        }
        if (node.leaf()) {
            // Nearest nodes first: a count that reaches min_samples gets there soonest that way.
            order_.clear();
            for (int32_t id : partial) order_.push_back({least(node.box, tree_.nodes[id].box), id});
            std::sort(order_.begin(), order_.end());
            for (size_t k = 0; k < order_.size(); ++k) partial[k] = order_[k].second;
        }
        const Span next{partial.data(), partial.size()};
        if (node.leaf()) {
            stop_.poll();
            for (int32_t i = node.begin; i < node.end; ++i) core_[i] = count_reaches(i, surely, possibly, next);
            return;
        }
        visit(first_child(q), surely, possibly, next, depth + 1);
        visit(first_child(q) + 1, surely, possibly, next, depth + 1);
    }

    // Whether the colour at tree position i is core, given the weights settled for its leaf.
    uint8_t count_reaches(int32_t i, int64_t surely, int64_t possibly, Span pending) {
        const Point p = tree_.at(i);
        const Bounds at = point_bounds(p);
        // The stack is worked from its end: nearest first when the count looks likely to reach
        // min_samples, farthest first (ruling weight out) when not.
        if (need_ - surely < possibly - need_)
            stack_.assign(std::make_reverse_iterator(pending.data + pending.size),
                          std::make_reverse_iterator(pending.data));
        else stack_.assign(pending.data, pending.data + pending.size);
        while (!stack_.empty() && surely < need_ && possibly >= need_) {
            const int32_t id = stack_.back();
            stack_.pop_back();
            if (!weigh(p, at, tree_.nodes[id], surely, possibly)) {
                stack_.push_back(first_child(id));
                stack_.push_back(first_child(id) + 1);
            }
        }
        return surely >= need_;
    }

    // Moves node b's weight into `surely` or out of `possibly` for colour p, counting a leaf colour by
    // colour; false when b is an inner node straddling eps, to be split.
    bool weigh(const Point& p, const Bounds& at, const Node& b, int64_t& surely, int64_t& possibly) const {
        if (most(at, b.box) <= kEpsSquared) {
            surely += b.weight;
        } else if (least(at, b.box) > kEpsSquared) {
            possibly -= b.weight;
        } else if (b.leaf()) {
            const int64_t within = tree_.weight_within(p, b.begin, b.end);
            surely += within;
            possibly -= b.weight - within;
        } else {
            return false;
        }
        return true;
    }

    const Tree& tree_;
    const int64_t need_;
    const bool defer_;
    Stop& stop_;
    std::vector<uint8_t> core_;
    std::vector<std::vector<int32_t>> partial_;  // one list per depth of the query recursion
    std::vector<int32_t> stack_;
    std::vector<std::pair<double, int32_t>> order_;
};

}  // namespace

std::vector<uint8_t> find_cores(const Tree& tree, int64_t min_samples, bool defer, Stop& stop) {
    return CoreFinder(tree, min_samples, stop, defer).run();
}

void settle_cores(const Tree& tree, int64_t min_samples, const std::vector<int32_t>& positions,
                  std::vector<uint8_t>& core, Stop& stop) {
    CoreFinder finder(tree, min_samples, stop);
    for (size_t k = 0; k < positions.size(); ++k) {
        if ((k & 63) == 0) stop.poll();
        core[positions[k]] = finder.settle(positions[k]);
    }
}

}  // namespace lq::kernels::dbscan
