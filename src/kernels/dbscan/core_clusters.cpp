// Clusters of core colours: the connected components of "within eps", numbered in order of their
// first core colour.
//
// Units are the nodes handled as wholes: a node whose box is within eps of itself (all its cores
// are neighbours of each other) or else a leaf. A first pass joins every unit to the nodes lying
// entirely within eps of it; a second pass settles the remaining close pairs colour by colour, and
// skips every node whose cores are already all in the unit's component.
#include <cstddef>
#include <numeric>

#include "kernels/dbscan/dbscan.hpp"

namespace lq::kernels::dbscan {
namespace {

class UnionFind {
public:
    explicit UnionFind(std::size_t size) : parent_(size) { std::iota(parent_.begin(), parent_.end(), 0); }

    int32_t find(int32_t a) {
        while (parent_[a] != a) a = parent_[a] = parent_[parent_[a]];
        return a;
    }
    void unite(int32_t a, int32_t b) {
        a = find(a);
        b = find(b);
        if (a != b) parent_[a < b ? b : a] = a < b ? a : b;
    }

private:
    std::vector<int32_t> parent_;
};

class Components {
public:
    Components(const Tree& tree, const std::vector<uint8_t>& core, Stop& stop)
        : tree_(tree),
          core_(core),
          stop_(stop),
          sets_(core.size()),
          cores_(tree.nodes.size()),
          first_core_(tree.nodes.size(), -1),
          unified_(tree.nodes.size(), 0) {}

    std::vector<int32_t> run() {
        count_cores();
        collect_units(0);
        for (int32_t u : units_)
            if (compact(u)) join_range(tree_.nodes[u], first_core_[u]);
        for (int32_t u : units_) link(u, false);
        mark_unified();
        for (int32_t u : units_) link(u, true);
        return numbered();
    }

private:
    bool compact(int32_t n) const { return diameter2(tree_.nodes[n].box) <= kEpsSquared; }

    void count_cores() {
        for (int32_t n = static_cast<int32_t>(tree_.nodes.size()) - 1; n >= 0; --n) {
            const Node& node = tree_.nodes[n];
            if (!node.used()) continue;
            if (node.leaf()) {
                for (int32_t i = node.begin; i < node.end; ++i) {
                    if (!core_[i]) continue;
                    ++cores_[n];
                    if (first_core_[n] < 0) first_core_[n] = i;
                }
            } else {
                const int32_t child = first_child(n);
                cores_[n] = cores_[child] + cores_[child + 1];
                first_core_[n] = first_core_[child] >= 0 ? first_core_[child] : first_core_[child + 1];
            }
        }
    }

    void collect_units(int32_t n) {
        if (!cores_[n]) return;
        const Node& node = tree_.nodes[n];
        if (compact(n) || node.leaf()) {
            units_.push_back(n);
            if (compact(n)) unified_[n] = 1;
            return;
        }
        collect_units(first_child(n));
        collect_units(first_child(n) + 1);
    }

    void join_range(const Node& node, int32_t anchor) {
        for (int32_t i = node.begin; i < node.end; ++i)
            if (core_[i]) sets_.unite(anchor, i);
    }

    // Joins every core of node n to `anchor`, a core of an adjacent or the same component.
    void join_node(int32_t n, int32_t anchor) {
        if (!cores_[n]) return;
        const Node& node = tree_.nodes[n];
        if (unified_[n]) {
            sets_.unite(anchor, first_core_[n]);
        } else if (node.leaf()) {
            join_range(node, anchor);
        } else {
            join_node(first_child(n), anchor);
            join_node(first_child(n) + 1, anchor);
        }
    }

    void link(int32_t u, bool close_pairs) {
        stop_.poll();
        const Node& unit = tree_.nodes[u];
        stack_.assign(1, 0);
        while (!stack_.empty()) {
            const int32_t b = stack_.back();
            stack_.pop_back();
            if (!cores_[b]) continue;
            const Node& node = tree_.nodes[b];
            if (least(unit.box, node.box) > kEpsSquared) continue;
            if (close_pairs && unified_[u] && unified_[b] && sets_.find(first_core_[u]) == sets_.find(first_core_[b]))
                continue;
            if (most(unit.box, node.box) <= kEpsSquared) {
                // Every core of b is a neighbour of every core of u.
                join_node(u, first_core_[b]);
                join_node(b, first_core_[u]);
            } else if (!node.leaf()) {
                stack_.push_back(first_child(b));
                stack_.push_back(first_child(b) + 1);
            } else if (close_pairs) {
                join_close_cores(u, node);
            }
        }
    }

    void join_close_cores(int32_t u, const Node& leaf) {
        const Node& unit = tree_.nodes[u];
        for (int32_t j = leaf.begin; j < leaf.end; ++j) {
            if (!core_[j]) continue;
            const Point c = tree_.at(j);
            if (unified_[u]) {
                if (sets_.find(j) != sets_.find(first_core_[u]) && core_within(c, u)) sets_.unite(j, first_core_[u]);
                continue;
            }
            for (int32_t i = unit.begin; i < unit.end; ++i)
                if (core_[i] && sets_.find(i) != sets_.find(j) && distance2(c, tree_.at(i)) <= kEpsSquared)
                    sets_.unite(i, j);
        }
    }

    // Whether node n holds a core within eps of colour c.
    bool core_within(const Point& c, int32_t n) const {
        if (!cores_[n]) return false;
        const Node& node = tree_.nodes[n];
        const Bounds at = point_bounds(c);
        if (least(at, node.box) > kEpsSquared) return false;
        if (most(at, node.box) <= kEpsSquared) return true;
        if (!node.leaf()) return core_within(c, first_child(n)) || core_within(c, first_child(n) + 1);
        for (int32_t i = node.begin; i < node.end; ++i)
            if (core_[i] && distance2(c, tree_.at(i)) <= kEpsSquared) return true;
        return false;
    }

    // After the first pass: a node is unified when all its cores are in one component. Unions only
    // merge components, so the mark stays true.
    void mark_unified() {
        for (int32_t n = static_cast<int32_t>(tree_.nodes.size()) - 1; n >= 0; --n) {
            if (!cores_[n] || unified_[n]) continue;
            const Node& node = tree_.nodes[n];
            const int32_t root = sets_.find(first_core_[n]);
            bool same = true;
            if (node.leaf()) {
                for (int32_t i = node.begin; i < node.end && same; ++i) same = !core_[i] || sets_.find(i) == root;
            } else {
                for (int32_t k : {first_child(n), first_child(n) + 1})
                    same = same && (!cores_[k] || (unified_[k] && sets_.find(first_core_[k]) == root));
            }
            unified_[n] = same;
        }
    }

    std::vector<int32_t> numbered() {
        std::vector<int32_t> position(core_.size());
        for (int32_t i = 0; i < static_cast<int32_t>(position.size()); ++i) position[tree_.index[i]] = i;
        std::vector<int32_t> number(core_.size(), -1);  // by component root
        std::vector<int32_t> label(core_.size(), -1);
        int32_t next = 0;
        for (int32_t i : position) {  // distinct colours in order of first occurrence
            if (!core_[i]) continue;
            int32_t& id = number[sets_.find(i)];
            if (id < 0) id = next++;
            label[i] = id;
        }
        return label;
    }

    const Tree& tree_;
    const std::vector<uint8_t>& core_;
    Stop& stop_;
    UnionFind sets_;
    std::vector<int32_t> cores_;       // number of cores per node
    std::vector<int32_t> first_core_;  // a core position per node, -1 without cores
    std::vector<uint8_t> unified_;
    std::vector<int32_t> units_;
    std::vector<int32_t> stack_;
};

}  // namespace

std::vector<int32_t> number_core_clusters(const Tree& tree, const std::vector<uint8_t>& core, Stop& stop) {
    return Components(tree, core, stop).run();
}

}  // namespace lq::kernels::dbscan
