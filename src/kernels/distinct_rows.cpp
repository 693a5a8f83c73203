#include "kernels/distinct_rows.hpp"

#include <exception>
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

// The keys of rows of an array, polling `stop` (if any) between pieces of rows.
struct ArrayKeys {
    const ByteRows& rows;
    Stop* stop;
    template <class Visit>
    void for_each(Visit&& visit) const {
        constexpr std::ptrdiff_t piece = std::ptrdiff_t{1} << 16;
        for (std::ptrdiff_t begin = 0; begin < rows.count; begin += piece) {
            if (stop) stop->poll();
            const std::ptrdiff_t end = std::min(rows.count, begin + piece);
            for (std::ptrdiff_t index = begin; index < end; ++index) visit(key_of(rows, index));
        }
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

// A colour's entry in the counting table: its channels' bits interleaved (Morton order), so that colours
// near each other in colour space, as neighbouring pixels mostly are, share the table's cache lines and
// pages, instead of lying 512 KB apart for each step of the first channel.
struct Spread {
    std::array<std::uint32_t, 256> bits{};
    constexpr Spread() {
        for (std::uint32_t value = 0; value < 256; ++value)
            for (int bit = 0; bit < 8; ++bit) bits[value] |= ((value >> bit) & 1u) << (3 * bit);
    }
};
constexpr Spread spread;

std::uint32_t place_of(std::uint32_t key) noexcept {
    return spread.bits[key >> 16] << 2 | spread.bits[(key >> 8) & 255] << 1 | spread.bits[key & 255];
}

std::uint32_t key_of_place(std::uint32_t place) noexcept {
    std::uint32_t key = 0;
    for (int bit = 0; bit < 8; ++bit)
        for (int channel = 0; channel < 3; ++channel)
            key |= ((place >> (3 * bit + 2 - channel)) & 1u) << (8 * (2 - channel) + bit);
    return key;
}

// A value's position + 1 (0 until it occurs) and how many rows hold it, side by side: one miss a row.
struct Entry {
    std::int32_t slot;
    std::uint32_t rows;
};

}  // namespace

// A rank per row in the second pass: with the processor's population count, about half the pass's time.
// An exception cannot leave a function with clones (GCC calls them as if they could not throw, and the
// process ends): build returns what it caught, for its caller to throw.
template <class Keys>
LQ_POPCNT_CLONES std::exception_ptr DistinctRows::build(const Keys& keys, std::ptrdiff_t rows, RowColours* row_colours,
                                                        int workers, PassProgress* progress) noexcept {
    try {
        // Whoever follows the pass learns of its end however it ends (here only when it did not complete).
        struct Ending {
            PassProgress* progress;
            ~Ending() {
                if (progress) progress->end(false);
            }
        } ending{progress};
        if (reads_once(rows)) {
            count_directly(keys, rows, row_colours, workers, progress);
            return nullptr;
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
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

template <class Keys>
void DistinctRows::count_directly(const Keys& keys, std::ptrdiff_t rows, RowColours* row_colours, int workers,
                                  PassProgress* progress) {
    const ColourTable<Entry> table = zeroed_colour_table<Entry>();
    Entry* entry_at = table.get();
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
    // Locals the compiler can keep in registers: the loop stores through int32 pointers, which may alias
    // members.
    std::int64_t row = 0;
    // Whoever follows the pass hears of its progress every `published` rows, and of its end however it ends.
    constexpr std::int64_t published = std::int64_t{1} << 14;
    if (!colour_of_row) progress = nullptr;
    if (progress) progress->start(colour_of_row);
    auto take = [&](std::uint32_t place) {
        Entry& entry = entry_at[place];
        if (entry.slot == 0) [[unlikely]]
            entry.slot = add(key_of_place(place), row) + 1;
        ++entry.rows;
        if (colour_of_row) colour_of_row[row] = entry.slot - 1;
        ++row;
        if (progress && row % published == 0) [[unlikely]]
            progress->publish(row);
    };
    // The table is larger than the processor's caches: each row's entry is asked for `ahead` rows before
    // it is taken, so the misses overlap. Rows are still taken in order.
    constexpr std::size_t ahead = 64;
    std::array<std::uint32_t, ahead> pending{};
    std::size_t held = 0, oldest = 0;
    keys.for_each([&](std::uint32_t key) {
        const std::uint32_t place = place_of(key);
        __builtin_prefetch(entry_at + place, 1);
        if (held < ahead) [[unlikely]] {
            pending[held++] = place;
            return;
        }
        take(pending[oldest]);
        pending[oldest] = place;
        oldest = (oldest + 1) % ahead;
    });
    for (std::size_t each = 0; each < held; ++each) take(pending[(oldest + each) % ahead]);
    rows_ = row;
    if (progress) {
        progress->publish(row);
        progress->end(true);
    }
    if (row_colours) row_colours->resize(static_cast<std::size_t>(rows_));
    auto key_at = [&](std::size_t position) {
        const auto& colour = colours_[position];
        return std::uint32_t{colour[0]} << 16 | std::uint32_t{colour[1]} << 8 | colour[2];
    };
    for (std::size_t position = 0; position < colours_.size(); ++position)
        weights_[position] = entry_at[place_of(key_at(position))].rows;
    // The bit index, for find().
    for (std::size_t position = 0; position < colours_.size(); ++position) {
        const std::uint32_t key = key_at(position);
        present_[key >> 6] |= std::uint64_t{1} << (key & 63);
    }
    rank_words();
    for (std::size_t position = 0; position < colours_.size(); ++position)
        order_[rank_of(key_at(position))] = static_cast<std::int32_t>(position);
}

// After build, whose clones the compiler makes only where their definition precedes the use.
DistinctRows::DistinctRows(const ByteRows& rows, RowColours* row_colours, int workers, PassProgress* progress,
                           Stop* stop)
    : present_(word_count, 0), rank_before_(new std::uint32_t[word_count]) {
    if (const std::exception_ptr failure = build(ArrayKeys{rows, stop}, rows.count, row_colours, workers, progress))
        std::rethrow_exception(failure);
}

DistinctRows::DistinctRows(const ImagePixels& pixels, RowColours* row_colours, Stop& stop, int workers,
                           PassProgress* progress)
    : present_(word_count, 0), rank_before_(new std::uint32_t[word_count]) {
    if (const std::exception_ptr failure =
            build(PixelKeys{pixels, stop}, pixels.pixels(), row_colours, workers, progress))
        std::rethrow_exception(failure);
}

std::int64_t PassProgress::wait_for(std::int64_t rows) const noexcept {
    for (;;) {
        const std::int64_t word = word_.load(std::memory_order_acquire);
        if (word / 4 >= rows || (word & 3) != 0) return word / 4;
        word_.wait(word, std::memory_order_acquire);
    }
}

void PassProgress::publish(std::int64_t rows) noexcept {
    word_.store(rows * 4, std::memory_order_release);
    word_.notify_all();
}

void PassProgress::end(bool complete) noexcept {
    const std::int64_t word = word_.load(std::memory_order_relaxed);
    if (word & 3) return;  // ended already: the first end holds
    word_.store(word | (complete ? completed : failed), std::memory_order_release);
    word_.notify_all();
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
