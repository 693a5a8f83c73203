#include "clustering/lattice_tree.hpp"

#include <algorithm>
#include <numeric>

namespace lq::clustering::lattice {
namespace {

constexpr int32_t kLeafSize = 24;

class Builder {
public:
    Builder(const std::vector<Point>& points, Tree& tree) : points_(points), tree_(tree) {}

    void build(int32_t node, int32_t begin, int32_t end, int depth) {
        tree_.depth = std::max(tree_.depth, depth);
        const Bounds box = bounding_box(begin, end);
        Node& n = tree_.nodes[node];
        n.box = box;
        n.diameter2 = most(box, box);
        n.begin = begin;
        n.end = end;
        n.child = -1;
        if (end - begin <= kLeafSize) return;
        // Split the widest channel, so that nodes stay round in the metric.
        int axis = 0;
        for (int c = 1; c < 3; ++c)
            if (box.hi[c] - box.lo[c] > box.hi[axis] - box.lo[axis]) axis = c;
        const int32_t middle = begin + (end - begin) / 2;
        int32_t* index = tree_.index.data();
        std::nth_element(index + begin, index + middle, index + end,
                         [this, axis](int32_t a, int32_t b) { return points_[a].x[axis] < points_[b].x[axis]; });
        const auto child = static_cast<int32_t>(tree_.nodes.size());
        n.child = child;
        tree_.nodes.resize(tree_.nodes.size() + 2);  // `n` dangles from here on
        build(child, begin, middle, depth + 1);
        build(child + 1, middle, end, depth + 1);
    }

private:
    Bounds bounding_box(int32_t begin, int32_t end) const {
        Bounds box = point_bounds(points_[tree_.index[begin]]);
        for (int32_t i = begin + 1; i < end; ++i) {
            const Point& p = points_[tree_.index[i]];
            for (int c = 0; c < 3; ++c) {
                box.lo[c] = std::min(box.lo[c], p.x[c]);
                box.hi[c] = std::max(box.hi[c], p.x[c]);
            }
        }
        return box;
    }

    const std::vector<Point>& points_;
    Tree& tree_;
};

// Node weights, children first: they come after their parent in the vector.
void sum_weights(Tree& tree) {
    for (auto n = tree.nodes.rbegin(); n != tree.nodes.rend(); ++n) {
        if (n->leaf()) {
            n->weight = 0;
            for (int32_t i = n->begin; i < n->end; ++i) n->weight += tree.weight[i];
        } else {
            n->weight = tree.nodes[n->child].weight + tree.nodes[n->child + 1].weight;
        }
    }
}

}  // namespace

Tree build_tree(const Metric& metric, const std::array<uint8_t, 3>* colours, const int64_t* weights,
                int32_t count) {
    std::vector<Point> points(count);
    for (int32_t i = 0; i < count; ++i)
        for (int c = 0; c < 3; ++c) points[i].x[c] = metric.scaled[c][colours[i][c]];
    Tree tree;
    tree.index.resize(count);
    std::iota(tree.index.begin(), tree.index.end(), 0);
    tree.nodes.reserve(4 * (count / kLeafSize + 1));
    tree.nodes.resize(1);
    Builder(points, tree).build(0, 0, count, 0);
    tree.point.resize(count);
    tree.weight.resize(count);
    for (auto& channel : tree.channel) channel.resize(count);
    for (int32_t i = 0; i < count; ++i) {
        tree.point[i] = points[tree.index[i]];
        tree.weight[i] = weights[tree.index[i]];
        for (int c = 0; c < 3; ++c) tree.channel[c][i] = tree.point[i].x[c];
    }
    sum_weights(tree);
    return tree;
}

}  // namespace lq::clustering::lattice
