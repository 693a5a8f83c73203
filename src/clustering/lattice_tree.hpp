// A k-d tree over distinct 8-bit colours with their multiplicities, for the density clustering.
// Each node holds the bounding box of its colours and their total weight; a node's colours are a
// contiguous range of tree positions.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "clustering/lattice_metric.hpp"

namespace lq::clustering::lattice {

struct Node {
    Box box;
    int32_t begin;  // tree positions [begin, end)
    int32_t end;
    int32_t child;  // first of the two children, -1 for a leaf
    int64_t weight;
    double diameter2;  // greatest distance2 within the box

    bool leaf() const { return child < 0; }
};

struct Tree {
    std::vector<Node> nodes;  // nodes[0] is the root; children come after their parent
    std::vector<int32_t> index;  // distinct colour index at each tree position
    std::vector<std::array<uint8_t, 3>> colour;  // colour at each tree position
    std::vector<int64_t> weight;  // multiplicity at each tree position
    int depth = 0;
};

Tree build_tree(const Metric& metric, const std::array<uint8_t, 3>* colours, const int64_t* weights,
                int32_t count);

}  // namespace lq::clustering::lattice
