#include "kernels/distinct_rows.hpp"

#include <algorithm>
#include <atomic>

#include "kernels/colour_table.hpp"
#include "kernels/threads.hpp"

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
    ByteRows rows;
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (std::ptrdiff_t index = 0; index < rows.count; ++index) visit(key_of(rows, index));
    }
    std::ptrdiff_t bound() const noexcept { return rows.count; }  // rows at most
    std::array<ArrayKeys, 2> halves() const noexcept {
        const std::ptrdiff_t front = rows.count / 2;
        return {ArrayKeys{{rows.data, front, rows.row_stride, rows.channel_stride}},
                ArrayKeys{{rows.row(front), rows.count - front, rows.row_stride, rows.channel_stride}}};
    }
};

// The keys of an image's kept pixels.
struct PixelKeys {
    ImagePixels pixels;
    Stop& stop;
    template <class Visit>
    void for_each(Visit&& visit) const {
        pixels.for_each(stop, visit);
    }
    std::ptrdiff_t bound() const noexcept { return pixels.pixels(); }
    std::array<PixelKeys, 2> halves() const noexcept {
        ImagePixels front = pixels, back = pixels;
        front.height = pixels.height / 2;
        back.height = pixels.height - front.height;
        back.data += front.height * pixels.row_stride;
        if (back.mask) back.mask += front.height * pixels.mask_row_stride;
        return {PixelKeys{front, stop}, PixelKeys{back, stop}};
    }
};

}  // namespace

DistinctRows::DistinctRows(const ByteRows& rows, RowColours* row_colours, int workers)
    : present_(word_count, 0), rank_before_(new std::uint32_t[word_count]) {
    Stop never;
    build(ArrayKeys{rows}, rows.count, row_colours, workers, never);
}

DistinctRows::DistinctRows(const ImagePixels& pixels, RowColours* row_colours, Stop& stop, int workers)
    : present_(word_count, 0), rank_before_(new std::uint32_t[word_count]) {
    build(PixelKeys{pixels, stop}, pixels.pixels(), row_colours, workers, stop);
}

template <class Keys>
void DistinctRows::build(const Keys& keys, std::ptrdiff_t rows, RowColours* row_colours, int workers, Stop& stop) {
    if (rows >= direct_rows) {
        if (workers >= 2) count_in_halves(keys, rows, row_colours, stop);
        else count_directly(keys, rows, row_colours);
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
void DistinctRows::count_directly(const Keys& keys, std::ptrdiff_t rows, RowColours* row_colours) {
    const ColourTable<std::int32_t> table = zeroed_colour_table<std::int32_t>();
    std::int32_t* slot_of = table.get();  // position + 1 of each value, 0 until it occurs
    if (row_colours) row_colours->resize(static_cast<std::size_t>(rows));
    std::int32_t* colour_of_row = row_colours ? row_colours->data() : nullptr;
    keys.for_each([&](std::uint32_t key) {
        std::int32_t& slot = slot_of[key];
        if (slot == 0) slot = add(key, rows_) + 1;
        ++weights_[static_cast<std::size_t>(slot - 1)];
        if (colour_of_row) colour_of_row[rows_] = slot - 1;
        ++rows_;
    });
    if (row_colours) row_colours->resize(static_cast<std::size_t>(rows_));
    index_found();
}

// The front half of the rows is counted as count_directly counts, its values numbered in order of first
// occurrence: they come first in the table. The back half, on another thread, numbers the values it
// meets before the front half does on its own, negative in the shared table; the front half takes over
// any such value it meets (the back half then reads the front's number from there on). Afterwards the
// back half's own values follow the front's, in the order it met them, and its rows are renumbered.
// Only the front half overwrites a claimed entry, so every value has one number per half, however the
// threads interleave: the table is the one a single pass makes.
template <class Keys>
void DistinctRows::count_in_halves(const Keys& keys, std::ptrdiff_t rows, RowColours* row_colours, Stop& stop) {
    const ColourTable<std::int32_t> table = zeroed_colour_table<std::int32_t>();
    std::int32_t* entries = table.get();  // front position + 1, or -(back number + 1); 0 until met
    const std::array<Keys, 2> half = keys.halves();
    const std::ptrdiff_t back_start = half[0].bound();
    if (row_colours) row_colours->resize(static_cast<std::size_t>(rows));
    std::int32_t* out = row_colours ? row_colours->data() : nullptr;
    std::vector<std::pair<std::int32_t, std::int32_t>> taken;  // (back number, front position)
    std::vector<std::uint32_t> back_keys;
    std::vector<std::int64_t> back_first, back_own, back_front;  // rows of its own values, and of the front's
    std::ptrdiff_t back_rows = 0;
    auto front = [&] {
        half[0].for_each([&](std::uint32_t key) {
            std::atomic_ref<std::int32_t> entry(entries[key]);
            std::int32_t value = entry.load(std::memory_order_relaxed);
            if (value <= 0) {
                const std::int32_t position = add(key, rows_);
                if (value < 0 || !entry.compare_exchange_strong(value, position + 1, std::memory_order_relaxed)) {
                    taken.emplace_back(-value - 1, position);
                    entry.store(position + 1, std::memory_order_relaxed);
                }
                value = position + 1;
            }
            ++weights_[static_cast<std::size_t>(value - 1)];
            if (out) out[rows_] = value - 1;
            ++rows_;
        });
    };
    auto back = [&] {
        std::int32_t* back_out = out ? out + back_start : nullptr;
        half[1].for_each([&](std::uint32_t key) {
            std::atomic_ref<std::int32_t> entry(entries[key]);
            std::int32_t value = entry.load(std::memory_order_relaxed);
            if (value == 0) {
                const auto number = static_cast<std::int32_t>(back_keys.size());
                if (entry.compare_exchange_strong(value, -number - 1, std::memory_order_relaxed)) {
                    back_keys.push_back(key);
                    back_first.push_back(back_rows);
                    back_own.push_back(0);
                    value = -number - 1;
                }
            }
            if (value < 0) {
                ++back_own[static_cast<std::size_t>(-value - 1)];
            } else {
                if (static_cast<std::size_t>(value) > back_front.size())
                    back_front.resize(std::max<std::size_t>(static_cast<std::size_t>(value), 2 * back_front.size()));
                ++back_front[static_cast<std::size_t>(value - 1)];
            }
            if (back_out) back_out[back_rows] = value;
            ++back_rows;
        });
    };
    std::atomic<int> next{0};
    // Either thread takes either half; one thread, if no second can be had, both in turn.
    run_on_threads(2, stop, [&] {
        for (int half_at; (half_at = next.fetch_add(1)) < 2;) {
            if (half_at == 0) front();
            else back();
        }
    });
    const std::ptrdiff_t front_rows = rows_;
    const std::int32_t front_count = count();
    std::vector<std::int32_t> position_of(back_keys.size(), -1);
    for (const auto& [number, position] : taken) position_of[static_cast<std::size_t>(number)] = position;
    for (std::size_t number = 0; number < back_keys.size(); ++number) {
        std::int32_t& position = position_of[number];
        if (position < 0) position = add(back_keys[number], front_rows + back_first[number]);
        weights_[static_cast<std::size_t>(position)] += back_own[number];
    }
    // back_front grows by doubling, past the front's positions.
    const std::size_t front_positions = std::min(back_front.size(), static_cast<std::size_t>(front_count));
    for (std::size_t position = 0; position < front_positions; ++position) weights_[position] += back_front[position];
    rows_ = front_rows + back_rows;
    if (out) {
        // Front numbers as they are, back numbers to their positions; moved up over the rows the front
        // half did not keep.
        for (std::ptrdiff_t row = 0; row < back_rows; ++row) {
            const std::int32_t value = out[back_start + row];
            out[front_rows + row] = value > 0 ? value - 1 : position_of[static_cast<std::size_t>(-value - 1)];
        }
        row_colours->resize(static_cast<std::size_t>(rows_));
    }
    index_found();
}

void DistinctRows::index_found() {
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
