// The distinct values of a list of 8-bit colour triples, with how often and where each first occurs.
// Pure native code: it lets the match report work once per distinct colour instead of once per pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lq::matching {

// Rows of three 8-bit values, read through strides (bytes), in row order.
struct TripleRows {
    const std::uint8_t* data;
    std::ptrdiff_t count;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t channel_stride;

    std::uint32_t key(std::ptrdiff_t row) const noexcept {
        const std::uint8_t* pixel = data + row * row_stride;
        return std::uint32_t{pixel[0]} << 16 | std::uint32_t{pixel[channel_stride]} << 8 | pixel[2 * channel_stride];
    }
};

class PixelTable {
public:
    // With `entry_of_row`, also records the position of each row's value among the distinct ones.
    // Throws std::bad_alloc when memory runs out.
    explicit PixelTable(const TripleRows& rows, std::vector<std::uint32_t>* entry_of_row = nullptr);

    std::size_t size() const noexcept { return keys_.size(); }
    // The distinct triples in ascending order of their values, three bytes each.
    std::vector<std::uint8_t> triples() const;
    std::int64_t count(std::size_t index) const noexcept { return counts_[index]; }
    std::int64_t first_row(std::size_t index) const noexcept { return first_rows_[index]; }
    // The position of a triple that occurs in the rows.
    std::size_t index_of(std::uint32_t key) const noexcept;

private:
    std::vector<std::uint64_t> present_;      // one bit per possible triple
    std::vector<std::uint32_t> rank_before_;  // set bits in the words before each word
    std::vector<std::uint32_t> keys_;
    std::vector<std::int64_t> counts_;
    std::vector<std::int64_t> first_rows_;
};

}  // namespace lq::matching
