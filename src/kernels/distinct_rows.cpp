#include "kernels/distinct_rows.hpp"

namespace lq::kernels {
namespace {

constexpr std::size_t word_count = (std::size_t{1} << 24) / 64;

std::uint32_t key_of(const ByteRows& rows, std::ptrdiff_t index) noexcept {
    const std::uint8_t* pixel = rows.row(index);
    return std::uint32_t{pixel[0]} << 16 | std::uint32_t{pixel[rows.channel_stride]} << 8 |
           pixel[2 * rows.channel_stride];
}

}  // namespace

DistinctRows::DistinctRows(const ByteRows& rows, std::vector<std::int32_t>* row_colours)
    : present_(word_count, 0), rank_before_(word_count) {
    for (std::ptrdiff_t index = 0; index < rows.count; ++index) {
        const std::uint32_t key = key_of(rows, index);
        present_[key >> 6] |= std::uint64_t{1} << (key & 63);
    }
    std::uint32_t seen = 0;
    for (std::size_t word = 0; word < word_count; ++word) {
        rank_before_[word] = seen;
        seen += static_cast<std::uint32_t>(std::popcount(present_[word]));
    }
    order_.assign(seen, -1);
    colours_.reserve(seen);
    weights_.reserve(seen);
    first_rows_.reserve(seen);
    if (row_colours) row_colours->resize(static_cast<std::size_t>(rows.count));
    for (std::ptrdiff_t index = 0; index < rows.count; ++index) {
        const std::uint32_t key = key_of(rows, index);
        const std::uint64_t word = present_[key >> 6];
        const std::uint32_t rank =
            rank_before_[key >> 6] + static_cast<std::uint32_t>(std::popcount(word & ((std::uint64_t{1} << (key & 63)) - 1)));
        std::int32_t& position = order_[rank];
        if (position < 0) {
            position = count();
            colours_.push_back({static_cast<std::uint8_t>(key >> 16), static_cast<std::uint8_t>(key >> 8),
                                static_cast<std::uint8_t>(key)});
            weights_.push_back(0);
            first_rows_.push_back(index);
        }
        ++weights_[static_cast<std::size_t>(position)];
        if (row_colours) (*row_colours)[static_cast<std::size_t>(index)] = position;
    }
}

std::vector<std::uint8_t> DistinctRows::triples() const {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(colours_.size() * 3);
    for (const auto& colour : colours_) bytes.insert(bytes.end(), colour.begin(), colour.end());
    return bytes;
}

void DistinctRows::gather(const ByteRows& rows, const std::uint8_t* values, std::uint8_t* out) const noexcept {
    for (std::ptrdiff_t row = 0; row < rows.count; ++row) {
        const std::uint8_t* value = values + 3 * static_cast<std::size_t>(find_row(rows, row));
        out[3 * row] = value[0];
        out[3 * row + 1] = value[1];
        out[3 * row + 2] = value[2];
    }
}

}  // namespace lq::kernels
