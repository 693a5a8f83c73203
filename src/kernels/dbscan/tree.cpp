#include "kernels/dbscan/tree.hpp"

#include <algorithm>
#include <numeric>

namespace lq::kernels::dbscan {
namespace {

class Builder {
public:
    Builder(const std::vector<Point>& points, Tree& tree) : points_(points), tree_(tree) {}

    void build(int32_t node, int32_t begin, int32_t end, int depth) {
        tree_.depth = std::max(tree_.depth, depth);
        const Bounds box = bounding_box(begin, end);
        if (tree_.nodes.size() <= static_cast<size_t>(node)) tree_.nodes.resize(node + 1);
        tree_.nodes[node] = Node{box, 0, begin, end};
        if (tree_.nodes[node].leaf()) return;
        // Split the widest channel, so that nodes stay round in the metric.
        int axis = 0;
        for (int c = 1; c < 3; ++c)
            if (box.hi[c] - box.lo[c] > box.hi[axis] - box.lo[axis]) axis = c;
        const int32_t middle = begin + (end - begin) / 2;
        int32_t* index = tree_.index.data();
        std::nth_element(index + begin, index + middle, index + end,
                         [this, axis](int32_t a, int32_t b) { return points_[a].x[axis] < points_[b].x[axis]; });
        build(first_child(node), begin, middle, depth + 1);
        build(first_child(node) + 1, middle, end, depth + 1);
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
    for (auto n = static_cast<int32_t>(tree.nodes.size()) - 1; n >= 0; --n) {
        Node& node = tree.nodes[n];
        if (!node.used()) continue;
        if (node.leaf()) {
            for (int32_t i = node.begin; i < node.end; ++i) node.weight += tree.weight[i];
        } else {
            node.weight = tree.nodes[first_child(n)].weight + tree.nodes[first_child(n) + 1].weight;
        }
    }
}

}  // namespace

Tree build_tree(const Metric& metric, const std::array<uint8_t, 3>* colours, const int64_t* weights, int32_t count) {
    std::vector<Point> points(count);
    for (int32_t i = 0; i < count; ++i)
        for (int c = 0; c < 3; ++c) points[i].x[c] = metric.scaled[c][colours[i][c]];
    Tree tree;
    tree.index.resize(count);
    std::iota(tree.index.begin(), tree.index.end(), 0);
    tree.nodes.reserve(4 * (count / kLeafSize + 1));
    Builder(points, tree).build(0, 0, count, 0);
    tree.weight.resize(count);
    for (auto& channel : tree.channel) channel.resize(count);
    for (int32_t i = 0; i < count; ++i) {
        tree.weight[i] = weights[tree.index[i]];
        for (int c = 0; c < 3; ++c) tree.channel[c][i] = points[tree.index[i]].x[c];
    }
    sum_weights(tree);
    return tree;
}

}  // namespace lq::kernels::dbscan
