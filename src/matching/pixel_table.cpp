#include "matching/pixel_table.hpp"

#include <bit>

namespace lq::matching {
namespace {

constexpr std::size_t possible_triples = std::size_t{1} << 24;
constexpr std::size_t word_count = possible_triples / 64;

}  // namespace

PixelTable::PixelTable(const TripleRows& rows, std::vector<std::uint32_t>* entry_of_row)
    : present_(word_count, 0), rank_before_(word_count) {
    for (std::ptrdiff_t row = 0; row < rows.count; ++row) {
        const std::uint32_t key = rows.key(row);
        present_[key >> 6] |= std::uint64_t{1} << (key & 63);
    }
    std::uint32_t seen = 0;
    for (std::size_t word = 0; word < word_count; ++word) {
        rank_before_[word] = seen;
        seen += static_cast<std::uint32_t>(std::popcount(present_[word]));
    }
    keys_.reserve(seen);
    for (std::size_t word = 0; word < word_count; ++word)
        for (std::uint64_t bits = present_[word]; bits; bits &= bits - 1)
            keys_.push_back(static_cast<std::uint32_t>(word * 64 + std::countr_zero(bits)));
    counts_.assign(seen, 0);
    first_rows_.assign(seen, 0);
    if (entry_of_row) entry_of_row->resize(static_cast<std::size_t>(rows.count));
    for (std::ptrdiff_t row = 0; row < rows.count; ++row) {
        const std::size_t index = index_of(rows.key(row));
        if (counts_[index]++ == 0) first_rows_[index] = row;
        if (entry_of_row) (*entry_of_row)[static_cast<std::size_t>(row)] = static_cast<std::uint32_t>(index);
    }
}

std::size_t PixelTable::index_of(std::uint32_t key) const noexcept {
    const std::uint64_t below = present_[key >> 6] & ((std::uint64_t{1} << (key & 63)) - 1);
    return rank_before_[key >> 6] + static_cast<std::size_t>(std::popcount(below));
}

std::vector<std::uint8_t> PixelTable::triples() const {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(keys_.size() * 3);
    for (const std::uint32_t key : keys_) {
        bytes.push_back(static_cast<std::uint8_t>(key >> 16));
        bytes.push_back(static_cast<std::uint8_t>(key >> 8));
        bytes.push_back(static_cast<std::uint8_t>(key));
    }
    return bytes;
}

}  // namespace lq::matching
