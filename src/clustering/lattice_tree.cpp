#include "clustering/lattice_tree.hpp"

#include <algorithm>
#include <numeric>

namespace lq::clustering::lattice {
namespace {

constexpr int32_t kLeafSize = 12;

class Builder {
public:
    Builder(const Metric& metric, const std::array<uint8_t, 3>* colours, Tree& tree)
        : metric_(metric), colours_(colours), tree_(tree) {}

    void build(int32_t node, int32_t begin, int32_t end, int depth) {
        tree_.depth = std::max(tree_.depth, depth);
        Node& n = tree_.nodes[node];
        n.begin = begin;
        n.end = end;
        n.child = -1;
        n.box = bounding_box(begin, end);
        n.diameter2 = metric_.most(n.box, n.box);
        if (end - begin <= kLeafSize) return;
        // Split the widest channel in standardised units, so nodes stay round in the metric.
        const Box box = n.box;
        int axis = 0;
        double widest = -1.0;
        for (int c = 0; c < 3; ++c) {
            const double width = metric_.scaled[c][box.hi[c]] - metric_.scaled[c][box.lo[c]];
            if (width > widest) widest = width, axis = c;
        }
        const int32_t middle = begin + (end - begin) / 2;
        int32_t* index = tree_.index.data();
        std::nth_element(index + begin, index + middle, index + end, [this, axis](int32_t a, int32_t b) {
            return colours_[a][axis] < colours_[b][axis];
        });
        const int32_t child = static_cast<int32_t>(tree_.nodes.size());
        tree_.nodes[node].child = child;  // `n` may dangle once the vector grows
        tree_.nodes.resize(tree_.nodes.size() + 2);
        build(child, begin, middle, depth + 1);
        build(child + 1, middle, end, depth + 1);
    }

private:
    Box bounding_box(int32_t begin, int32_t end) const {
        Box box{{255, 255, 255}, {0, 0, 0}};
        for (int32_t i = begin; i < end; ++i) {
            const auto& c = colours_[tree_.index[i]];
            for (int k = 0; k < 3; ++k) {
                box.lo[k] = std::min(box.lo[k], c[k]);
                box.hi[k] = std::max(box.hi[k], c[k]);
            }
        }
        return box;
    }

    const Metric& metric_;
    const std::array<uint8_t, 3>* colours_;
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
    Tree tree;
    tree.index.resize(count);
    std::iota(tree.index.begin(), tree.index.end(), 0);
    tree.nodes.reserve(4 * (count / kLeafSize + 1));
    tree.nodes.resize(1);
    Builder(metric, colours, tree).build(0, 0, count, 0);
    tree.colour.resize(count);
    tree.weight.resize(count);
    for (int32_t i = 0; i < count; ++i) {
        tree.colour[i] = colours[tree.index[i]];
        tree.weight[i] = weights[tree.index[i]];
    }
    sum_weights(tree);
    return tree;
}

}  // namespace lq::clustering::lattice
