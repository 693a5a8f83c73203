// The distinct values of rows of three 8-bit channels, in order of first occurrence, with how often
// each occurs and where first. Pure native code: it lets DBSCAN and the match report work once per
// distinct colour instead of once per pixel.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "kernels/colour_table.hpp"
#include "kernels/pixel_rows.hpp"
#include "kernels/stop.hpp"

namespace lq::kernels {

// Rows of three 8-bit values read through strides (bytes), in row order.
struct ByteRows {
    const std::uint8_t* data;
    std::ptrdiff_t count;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t channel_stride;

    const std::uint8_t* row(std::ptrdiff_t index) const noexcept { return data + index * row_stride; }
};

// The position in a DistinctRows of every row's value, in row order: in memory of its own, or in a
// buffer the caller lends, such as the labels array the positions are later turned into in place, so
// that a fit of N rows faults in 4 N bytes fewer. New elements are left uninitialised: they are written
// before they are read.
class RowColours {
public:
    RowColours() = default;
    // Keeps the positions in `buffer` (room for `capacity`, outliving this) while they fit there.
    RowColours(std::int32_t* buffer, std::size_t capacity) noexcept
        : data_(buffer), lent_(buffer), capacity_(capacity) {}
    RowColours(const RowColours&) = delete;
    RowColours& operator=(const RowColours&) = delete;

    // Throws std::bad_alloc.
    void resize(std::size_t count) {
        if (lent_ && count <= capacity_) {
            size_ = count;
            return;
        }
        own_.resize(count);
        if (lent_) std::copy(lent_, lent_ + size_, own_.data());
        lent_ = nullptr;
        data_ = own_.data();
        size_ = count;
    }
    std::size_t size() const noexcept { return size_; }
    std::int32_t* data() noexcept { return data_; }
    const std::int32_t* data() const noexcept { return data_; }
    std::int32_t& operator[](std::size_t index) noexcept { return data_[index]; }
    std::int32_t operator[](std::size_t index) const noexcept { return data_[index]; }

private:
    std::int32_t* data_ = nullptr;
    std::int32_t* lent_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    std::vector<std::int32_t, UninitialisedLargeAllocator<std::int32_t>> own_;
};

// How far a table's one pass has come: for a thread that reads the rows' positions as the pass writes
// them, so that its work on them overlaps the pass.
class PassProgress {
public:
    // Waits until `rows` positions are written or the pass has ended; returns how many are written.
    std::int64_t wait_for(std::int64_t rows) const noexcept;
    // The positions, once the first rows are written.
    const std::int32_t* positions() const noexcept { return positions_; }
    // Whether the pass has ended with every row counted (else it failed, and the positions are partial).
    bool complete() const noexcept { return (word_.load(std::memory_order_acquire) & 3) == completed; }

    // The pass's side (one thread): the positions, rows written so far, the end (after which nothing changes).
    void start(const std::int32_t* positions) noexcept { positions_ = positions; }
    void publish(std::int64_t rows) noexcept;
    void end(bool complete) noexcept;

private:
    static constexpr std::int64_t completed = 1, failed = 2;
    const std::int32_t* positions_ = nullptr;  // set before the first rows are published
    // Rows written times 4, plus how the pass ended (0 while it runs): one word, which a waiter sleeps on.
    std::atomic<std::int64_t> word_{0};
};

class DistinctRows {
public:
    // Throws std::bad_alloc when memory runs out. With `row_colours`, also stores there the position
    // of every row's value (as find_row gives it), at no extra pass over the rows.
    // With `progress` (and `row_colours`), the pass publishes its progress there where it reads each row
    // once (reads_once), and ends it either way.
    // With `stop`, polls it.
    explicit DistinctRows(const ByteRows& rows, RowColours* row_colours = nullptr, int workers = 1,
                          PassProgress* progress = nullptr, Stop* stop = nullptr);
    // The same of the kept pixels of an image; rows are counted among those pixels. Polls `stop`. With
    // `workers` above 1 (either constructor) a second thread may prepare memory the pass will write.
    DistinctRows(const ImagePixels& pixels, RowColours* row_colours, Stop& stop, int workers = 1,
                 PassProgress* progress = nullptr);

    // Whether the table of `rows` rows reads each row once (else twice, and a row that changed between
    // the passes would not be found).
    static bool reads_once(std::ptrdiff_t rows) noexcept { return rows >= direct_rows && rows <= most_direct_rows; }

    std::int32_t count() const noexcept { return static_cast<std::int32_t>(colours_.size()); }
    const LargeVector<std::array<std::uint8_t, 3>>& colours() const noexcept { return colours_; }
    const LargeVector<std::int64_t>& weights() const noexcept { return weights_; }
    std::int64_t first_row(std::size_t index) const noexcept { return first_rows_[index]; }
    // The distinct values as consecutive bytes, three per value.
    std::vector<std::uint8_t> triples() const;
    // For each of `rows` (the rows this table was made from), in order, the three bytes that `values`
    // holds for the row's value (three per distinct value, in the table's order), written to `out`.
    void gather(const ByteRows& rows, const std::uint8_t* values, std::uint8_t* out) const noexcept;

    // Position of a value, -1 when it does not occur.
    std::int32_t find(std::uint32_t a, std::uint32_t b, std::uint32_t c) const noexcept {
        const std::uint32_t key = (a << 16) | (b << 8) | c;
        if (!(present_[key >> 6] & (std::uint64_t{1} << (key & 63)))) return -1;
        return order_[rank_of(key)];
    }
    // Position of the value of row `index` of `rows` (rows this table was made from).
    std::int32_t find_row(const ByteRows& rows, std::ptrdiff_t index) const noexcept {
        const std::uint8_t* pixel = rows.row(index);
        return find(pixel[0], pixel[rows.channel_stride], pixel[2 * rows.channel_stride]);
    }

    // How many rows the table was made from.
    std::int64_t rows() const noexcept { return rows_; }

private:
    // From this many rows on, one pass through a table of every possible value (128 MB of address space,
    // of which only the pages of values that occur are touched) costs less than two through the bit index;
    // up to as many as its 32-bit counts hold.
    static constexpr std::ptrdiff_t direct_rows = std::ptrdiff_t{1} << 21;
    static constexpr std::ptrdiff_t most_direct_rows = std::ptrdiff_t{UINT32_MAX};

    // `keys.for_each(visit)` calls visit(key) for every row in order; `rows` is their number or more.
    template <class Keys>
    std::exception_ptr build(const Keys& keys, std::ptrdiff_t rows, RowColours* row_colours, int workers,
                             PassProgress* progress) noexcept;
    template <class Keys>
    void count_directly(const Keys& keys, std::ptrdiff_t rows, RowColours* row_colours, int workers,
                        PassProgress* progress);
    // Fills rank_before_ from present_ and sizes order_; returns how many values occur.
    std::uint32_t rank_words();
    // The rank of a value among those that occur (its bit is set).
    std::uint32_t rank_of(std::uint32_t key) const noexcept {
        const std::uint64_t below = present_[key >> 6] & ((std::uint64_t{1} << (key & 63)) - 1);
        return rank_before_[key >> 6] + bit_count(below);
    }
    // std::popcount is a library call where the target lacks the instruction, once per row here.
    static std::uint32_t bit_count(std::uint64_t x) noexcept {
        x = x - ((x >> 1) & 0x5555555555555555u);
        x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
        x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
        return static_cast<std::uint32_t>((x * 0x0101010101010101u) >> 56);
    }
    // Appends a value first met at row `index`; returns its position.
    std::int32_t add(std::uint32_t key, std::ptrdiff_t index);

    // One bit per possible value and the count of set bits before each word: a 3 MB index whose cost
    // does not grow with the image, giving each value its rank among the values that occur.
    std::vector<std::uint64_t> present_;
    std::unique_ptr<std::uint32_t[]> rank_before_;  // set for the words that hold a value only
    // Per value, on huge pages where they are large: a 12 MP photo holds a million values or more, whose
    // vectors would otherwise fault in thousands of small pages as they grow.
    LargeVector<std::int32_t> order_;  // rank -> position in order of first occurrence
    LargeVector<std::array<std::uint8_t, 3>> colours_;
    LargeVector<std::int64_t> weights_;
    LargeVector<std::int64_t> first_rows_;
    std::int64_t rows_ = 0;
};

}  // namespace lq::kernels
