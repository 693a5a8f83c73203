// The match report's distances, once per distinct colour: from a target's 8-bit LAB value to each
// distinct LAB value, as the distance primitive computes them (the triples as doubles, differences,
// squares summed in channel order, square root; the squares and sums are integers below 2^18, so only
// the square root rounds, as np.sqrt does), counted into the distance bands with the colours' pixel
// counts, and the nearest value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/distinct_rows.hpp"

namespace lq::kernels {

// The distance bands of the match report, in 8-bit LAB units, each a strict upper bound. The widest is
// also the scale of the similarity score.
inline constexpr long very_close_band = 15;
inline constexpr long close_band = 30;
inline constexpr long somewhat_close_band = 50;

struct BandCounts {
    std::int64_t very_close = 0, close = 0, somewhat_close = 0;
    double nearest_distance = 0.0;
    std::size_t nearest = 0;  // the distinct value nearest the target; on ties the one seen first
};

// `lab` holds three bytes per distinct value of `table`, in the table's order; the table must not be
// empty.
BandCounts count_bands(const std::uint8_t target[3], const DistinctRows& table, const std::uint8_t* lab) noexcept;

}  // namespace lq::kernels
