#include "kernels/distinct_rows.hpp"

#include <system_error>
#include <thread>

#include "kernels/clones.hpp"
#include "kernels/colour_table.hpp"

namespace lq::kernels {
namespace {

constexpr std::size_t word_count = (std::size_t{1} << 24) / 64;

std::uint32_t key_of(const ByteRows& rows, std::ptrdiff_t index) noexcept {
    const std::uint8_t* pixel = rows.row(index);
    return std::uint32_t{pixel[0]} << 16 | std::uint32_t{pixel[rows.channel_stride]} << 8 |
           pixel[2 * rows.channel_stride];
}

// The keys of rows of an array.
struct ArrayKeys {
    const ByteRows& rows;
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (std::ptrdiff_t index = 0; index < rows.count; ++index) visit(key_of(rows, index));
    }
};

// The keys of an image's kept pixels.
struct PixelKeys {
    const ImagePixels& pixels;
    Stop& stop;
    template <class Visit>
    void for_each(Visit&& visit) const {
        pixels.for_each(stop, visit);
    }
};

}  // namespace

// A rank per row in the second pass: with the processor's population count, about half the pass's time.
template <class Keys>
LQ_POPCNT_CLONES void DistinctRows::build(const Keys& keys, std::ptrdiff_t rows, RowColours* row_colours, int workers) {
    if (rows >= direct_rows) {
        count_directly(keys, rows, row_colours, workers);
        return;
    }
    keys.for_each([&](std::uint32_t key) {
        present_[key >> 6] |= std::uint64_t{1} << (key & 63);
        ++rows_;
    });
    const std::uint32_t seen = rank_words();
    colours_.reserve(seen);
    weights_.reserve(seen);
    first_rows_.reserve(seen);
    if (row_colours) row_colours->resize(static_cast<std::size_t>(rows_));
    std::ptrdiff_t index = 0;
    keys.for_each([&](std::uint32_t key) {
        std::int32_t& position = order_[rank_of(key)];
        if (position < 0) position = add(key, index);
        ++weights_[static_cast<std::size_t>(position)];
        if (row_colours) (*row_colours)[static_cast<std::size_t>(index)] = position;
        ++index;
    });
}

template <class Keys>
void DistinctRows::count_directly(const Keys& keys, std::ptrdiff_t rows, RowColours* row_colours, int workers) {
    const ColourTable<std::int32_t> table = zeroed_colour_table<std::int32_t>();
    std::int32_t* slot_of = table.get();  // position + 1 of each value, 0 until it occurs
    if (row_colours) row_colours->resize(static_cast<std::size_t>(rows));
    std::int32_t* colour_of_row = row_colours ? row_colours->data() : nullptr;
    // Every row's position is written, in order: a second thread has the system zero those pages (4 bytes a
    // row, some 10 ms of this pass at 12 MP) while this one counts. The table's pages are left to fault in
    // as values occur: a flat graphic touches a few of them only.
    std::jthread prepare;
    if (colour_of_row && workers > 1) {
        try {
            prepare = std::jthread(
                [=] { populate_for_writing(colour_of_row, static_cast<std::size_t>(rows) * sizeof(std::int32_t)); });
        } catch (const std::system_error&) {
            // No thread to spare: the pass faults the pages in itself, as it did before.
        }
    }
    auto take = [&](std::uint32_t key) {
        std::int32_t& slot = slot_of[key];
        if (slot == 0) slot = add(key, rows_) + 1;
        ++weights_[static_cast<std::size_t>(slot - 1)];
        if (colour_of_row) colour_of_row[rows_] = slot - 1;
        ++rows_;
    };
    // The table is larger than the processor's caches: each key's slot is asked for `ahead` keys before it
    // is taken, and its weight half way, once the slot has arrived, so the misses overlap (at 12 MP the
    // pass took a third less time with 64 than without, 16 gained half that). Keys are still taken in the
    // rows' order; a slot read early for the hint may not be set yet, which costs a miss only.
    constexpr std::size_t ahead = 64;
    std::array<std::uint32_t, ahead> pending{};
    std::size_t held = 0, oldest = 0;
    keys.for_each([&](std::uint32_t key) {
        __builtin_prefetch(slot_of + key, 1);
        if (held < ahead) {
            pending[held++] = key;
            return;
        }
        const std::int32_t halfway = slot_of[pending[(oldest + ahead / 2) % ahead]];
        if (halfway > 0) __builtin_prefetch(weights_.data() + halfway - 1, 1);
        take(pending[oldest]);
        pending[oldest] = key;
        oldest = (oldest + 1) % ahead;
    });
    for (std::size_t each = 0; each < held; ++each) take(pending[(oldest + each) % ahead]);
    if (row_colours) row_colours->resize(static_cast<std::size_t>(rows_));
    // The bit index, for find().
    auto key_at = [&](std::size_t position) {
        const auto& colour = colours_[position];
        return std::uint32_t{colour[0]} << 16 | std::uint32_t{colour[1]} << 8 | colour[2];
    };
    for (std::size_t position = 0; position < colours_.size(); ++position) {
        const std::uint32_t key = key_at(position);
        present_[key >> 6] |= std::uint64_t{1} << (key & 63);
    }
    rank_words();
    for (std::size_t position = 0; position < colours_.size(); ++position)
        order_[rank_of(key_at(position))] = static_cast<std::int32_t>(position);
}

// After build, whose clones the compiler makes only where their definition precedes the use.
DistinctRows::DistinctRows(const ByteRows& rows, RowColours* row_colours, int workers)
    : present_(word_count, 0), rank_before_(new std::uint32_t[word_count]) {
    build(ArrayKeys{rows}, rows.count, row_colours, workers);
}

DistinctRows::DistinctRows(const ImagePixels& pixels, RowColours* row_colours, Stop& stop, int workers)
    : present_(word_count, 0), rank_before_(new std::uint32_t[word_count]) {
    build(PixelKeys{pixels, stop}, pixels.pixels(), row_colours, workers);
}

std::int32_t DistinctRows::add(std::uint32_t key, std::ptrdiff_t index) {
    colours_.push_back(
        {static_cast<std::uint8_t>(key >> 16), static_cast<std::uint8_t>(key >> 8), static_cast<std::uint8_t>(key)});
    weights_.push_back(0);
    first_rows_.push_back(index);
    return count() - 1;
}

std::uint32_t DistinctRows::rank_words() {
    std::uint32_t seen = 0;
    // Most words are empty, and rank_of reads the words of values that occur only: untouched pages of
    // the rank array cost nothing.
    const std::uint64_t* words = present_.data();
    for (std::size_t word = 0; word < word_count; word += 8) {
        if (!(words[word] | words[word + 1] | words[word + 2] | words[word + 3] | words[word + 4] | words[word + 5] |
              words[word + 6] | words[word + 7]))
            continue;
        for (std::size_t each = word; each < word + 8; ++each) {
            if (!words[each]) continue;
            rank_before_[each] = seen;
            seen += bit_count(words[each]);
        }
    }
    order_.assign(seen, -1);
    return seen;
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
