// Exact DBSCAN over distinct 8-bit colours with multiplicities: the labels that DBSCAN gives the
// rows when each colour is repeated by its weight, computed without listing any neighbourhood.
//
// Rules reproduced (all on distance2 <= eps squared, see metric.hpp):
// - a colour is core when the weights of the colours within eps, its own included, reach min_samples;
// - cores within eps of each other share a cluster; clusters are numbered in the order of their
//   first core colour (colours are given in order of first occurrence, so that is the row order);
// - a non-core colour takes the smallest cluster number among the cores within eps of it (the
//   cluster whose expansion reaches it first), or -1 (noise) when there is none.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "kernels/dbscan/metric.hpp"
#include "kernels/dbscan/tree.hpp"
#include "kernels/stop.hpp"

namespace lq::kernels::dbscan {

// Label of each distinct colour: -1 for noise, else its cluster number.
std::vector<int32_t> cluster(const Metric& metric, const std::array<uint8_t, 3>* colours, const int64_t* weights,
                             int32_t count, int64_t min_samples, Stop& stop);

// How many entries the neighbourhood lists of every row hold (each row counts itself), over the rows
// (each colour repeated by its weight) and over the distinct colours: what a library DBSCAN run on the
// rows, or on the distinct colours, would store.
struct Neighbourhoods {
    int64_t rows = 0;
    int64_t colours = 0;
};
Neighbourhoods count_neighbourhoods(const Metric& metric, const std::array<uint8_t, 3>* colours, const int64_t* weights,
                                    int32_t count, Stop& stop);

// The phases, on tree positions. Each polls `stop` between units of work.

// Core flags. With `defer`, find_cores may leave some kUnsettled; settle_cores counts the listed positions.
inline constexpr uint8_t kNotCore = 0, kCore = 1, kUnsettled = 2;
std::vector<uint8_t> find_cores(const Tree& tree, int64_t min_samples, bool defer, Stop& stop);
void settle_cores(const Tree& tree, int64_t min_samples, const std::vector<int32_t>& positions,
                  std::vector<uint8_t>& core, Stop& stop);

// The label of each position (deferred_cores.cpp). An unsettled flag is counted, and set in `core`,
// only where it could change a label.
std::vector<int32_t> label_positions(const Tree& tree, int64_t min_samples, std::vector<uint8_t>& core, Stop& stop);

// The clusters of the cores (flags of 1), -1 elsewhere.
std::vector<int32_t> number_core_clusters(const Tree& tree, const std::vector<uint8_t>& core, Stop& stop);

}  // namespace lq::kernels::dbscan
