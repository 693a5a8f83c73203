// A k-d tree over the distinct colours, in standardised units, with their multiplicities. Each node
// holds the bounding box of its points and their total weight; a node's points are a contiguous
// range of tree positions.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "kernels/dbscan/metric.hpp"

namespace lq::kernels::dbscan {

// Nodes split while they hold more points than this; smaller ones are leaves.
inline constexpr int32_t kLeafSize = 24;

// One cache line per node. The children of node n are nodes 2n + 1 and 2n + 2, as in a heap.
struct alignas(64) Node {
    Bounds box;
    int64_t weight;
    int32_t begin;  // tree positions [begin, end)
    int32_t end;

    bool used() const { return end > begin; }  // the heap layout leaves some slots empty
    bool leaf() const { return end - begin <= kLeafSize; }
};

inline int32_t first_child(int32_t n) { return 2 * n + 1; }

// Greatest distance2 within a box.
inline double diameter2(const Bounds& box) { return most(box, box); }

struct Tree {
    std::vector<Node> nodes;         // nodes[0] is the root; children come after their parent
    std::vector<int32_t> index;      // distinct colour index at each tree position
    std::vector<double> channel[3];  // standardised colour at each tree position, channel by channel
    std::vector<int64_t> weight;     // multiplicity at each tree position
    int depth = 0;

    int32_t size() const { return static_cast<int32_t>(index.size()); }
    Point at(int32_t i) const { return Point{{channel[0][i], channel[1][i], channel[2][i]}}; }

    // Total weight of the points at positions [begin, end) within eps of p, without branches: the
    // outcome at the edge of the ball is unpredictable.
    int64_t weight_within(const Point& p, int32_t begin, int32_t end) const {
        const double *x = channel[0].data(), *y = channel[1].data(), *z = channel[2].data();
        const int64_t* w = weight.data();
        int64_t sum = 0;
        for (int32_t j = begin; j < end; ++j) {
            const double a = p.x[0] - x[j], b = p.x[1] - y[j], c = p.x[2] - z[j];
            sum += w[j] & -static_cast<int64_t>((a * a + b * b) + c * c <= kEpsSquared);
        }
        return sum;
    }
};

Tree build_tree(const Metric& metric, const std::array<uint8_t, 3>* colours, const int64_t* weights, int32_t count);

}  // namespace lq::kernels::dbscan
