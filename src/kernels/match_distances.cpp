#include "kernels/match_distances.hpp"

#include <cmath>
#include <limits>

namespace lq::kernels {

BandCounts count_bands(const std::uint8_t target[3], const DistinctRows& table, const std::uint8_t* lab) noexcept {
    BandCounts counts;
    counts.nearest_distance = std::numeric_limits<double>::infinity();
    std::int64_t nearest_first_row = std::numeric_limits<std::int64_t>::max();
    for (std::size_t index = 0; index < static_cast<std::size_t>(table.count()); ++index) {
        const std::uint8_t* value = lab + 3 * index;
        const double d0 = static_cast<double>(target[0]) - static_cast<double>(value[0]);
        const double d1 = static_cast<double>(target[1]) - static_cast<double>(value[1]);
        const double d2 = static_cast<double>(target[2]) - static_cast<double>(value[2]);
        const double distance = std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
        const std::int64_t weight = table.weights()[index];
        if (distance < very_close_band) counts.very_close += weight;
        if (distance < close_band) counts.close += weight;
        if (distance < somewhat_close_band) counts.somewhat_close += weight;
        // np.argmin takes the first row among equals: the value whose first row comes earliest.
        const std::int64_t first_row = table.first_row(index);
        if (distance < counts.nearest_distance ||
            (distance == counts.nearest_distance && first_row < nearest_first_row)) {
            counts.nearest_distance = distance;
            counts.nearest = index;
            nearest_first_row = first_row;
        }
    }
    return counts;
}

}  // namespace lq::kernels
