#include "kernels/colour/index.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <thread>

#include "kernels/threads.hpp"

namespace lq::kernels::colour {
namespace {

// Rows a thread takes at a time: small enough to share a search's work evenly, large enough that
// taking one costs nothing.
constexpr std::int64_t piece_rows = 16384;

// The greatest extra reach (beyond the tolerance) of a level's records; the last level has no bound.
double level_bound(int level) noexcept {
    if (level == 0) return 0.0;
    if (level == levels - 1) return std::numeric_limits<double>::infinity();
    return std::exp2((level - 1) / 2.0);
}

int level_of(double extra) noexcept {
    for (int level = 0; level < levels - 1; ++level)
        if (extra <= level_bound(level)) return level;
    return levels - 1;  // also a reach that is not a number
}

// The cell of a coordinate, records beyond the grid in its edge cells (not a number: the first).
int cell_of(double value, double low, double size, int count) noexcept {
    const double position = (value - low) / size;
    if (!(position >= 0.0)) return 0;
    return position < count ? static_cast<int>(position) : count - 1;
}

std::int64_t bucket_of(int level, int l, int a, int b) noexcept {
    const int squares = squares_of(level);
    return level_start(level) + (static_cast<std::int64_t>(l) * squares + a) * squares + b;
}

// A bucket's level and cell, a and b on the level's squares.
struct Cell {
    int level, l, a, b;
};
Cell cell_at(std::int64_t bucket) noexcept {
    const std::int64_t coarse = level_start(fine_levels);
    const int level = bucket < coarse ? static_cast<int>(bucket / cells_of(0))
                                      : fine_levels + static_cast<int>((bucket - coarse) / cells_of(fine_levels));
    const std::int64_t in_level = bucket - level_start(level);
    const int squares = squares_of(level);
    return {level, static_cast<int>(in_level / (squares * squares)), static_cast<int>(in_level / squares % squares),
            static_cast<int>(in_level % squares)};
}

// A record's fields; the bytes are little-endian, as NumPy's "<f2", "<u2" and "<u4" store them.
std::uint16_t u16_at(const std::uint8_t* bytes) noexcept {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}
std::uint32_t u32_at(const std::uint8_t* bytes) noexcept {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}
Lab lab_at(const std::uint8_t* record) noexcept {
    return {half_value(u16_at(record)), half_value(u16_at(record + 2)), half_value(u16_at(record + 4))};
}

// The bucket of a record of `level` at `lab`.
std::uint32_t bucket_for(int level, const Lab& lab) noexcept {
    const int squares = squares_of(level);
    const double size = square_size_of(level);
    return static_cast<std::uint32_t>(bucket_of(level, cell_of(lab.l, low_l, cell_size, cells_l),
                                                cell_of(lab.a, low_ab, size, squares),
                                                cell_of(lab.b, low_ab, size, squares)));
}

// distribution._spreads: 0, or 2^(code / 16 - 5).
std::array<double, 256> spread_table() noexcept {
    std::array<double, 256> table{};
    for (int code = 1; code < 256; ++code) table[code] = std::exp2(static_cast<double>(code) / 16.0 - 5.0);
    return table;
}

double widest_of(const std::uint8_t* record, const std::array<double, 256>& spreads) noexcept {
    return std::max({spreads[record[8]], spreads[record[9]], spreads[record[10]]});
}

struct Span {
    std::int64_t begin, end;
};

struct Contribution {
    std::uint32_t image;
    double value;
};

// What Distributions.parts computes for one query: the percent of its image a row contributes, 0 when
// it holds nothing within the tolerance (or lies beyond its reach).
struct Estimator {
    Lab query, query_warped;
    double tolerance, tail, ratio;
    std::array<double, 256> spreads;

    double operator()(const std::uint8_t* row) const noexcept {
        const Lab lab = lab_at(row);
        const std::array<double, 3> sigma = {spreads[row[8]], spreads[row[9]], spreads[row[10]]};
        const double widest = std::max({sigma[0], sigma[1], sigma[2]});
        const double reach = tolerance + tail * ratio * widest;
        if (!(std::fabs(lab.l - query.l) <= 1.75 * reach)) return 0.0;
        const double difference = ciede2000(query, lab);
        if (!(difference <= reach)) return 0.0;
        const Lab warp = warped(lab);
        const double offset[3] = {warp.l - query_warped.l, warp.a - query_warped.a, warp.b - query_warped.b};
        const double apart = std::sqrt(offset[0] * offset[0] + offset[1] * offset[1] + offset[2] * offset[2]);
        double squares = 0.0, total = 0.0;
        for (int axis = 0; axis < 3; ++axis) {
            const double unit = offset[axis] / apart;
            squares += unit * unit * (sigma[axis] * sigma[axis]);
            total += sigma[axis] * sigma[axis];
        }
        const double along = std::sqrt(squares) * difference / apart;
        // At most ratio times the widest spread, which the search's bounds rely on.
        const double spread = apart > 0.0 && std::isfinite(along) ? std::min(along, ratio * widest) : 0.0;
        double fraction;
        if (spread > 0.0) {
            // Its pixels lie farther than its mean by its spread across the direction; never nearer, so every
            // bound on the difference bounds this too.
            const double scale = difference / apart;
            const double farther =
                std::sqrt(difference * difference + std::fmax(total - squares, 0.0) * (scale * scale));
            fraction = farther - tolerance > tail * spread ? 0.0 : ndtr((tolerance - farther) / spread);
        } else fraction = difference <= tolerance ? 1.0 : 0.0;
        return fraction * (static_cast<double>(u16_at(row + 6)) * (100.0 / 65535.0));
    }
};

}  // namespace

void build_index(const std::uint8_t* records, const std::int64_t* starts, std::int64_t images, double tail_ratio,
                 std::int64_t* bucket_starts, std::uint8_t* rows, Stop& stop) {
    const std::array<double, 256> spreads = spread_table();
    const std::int64_t total = starts[images] - starts[0];
    std::vector<std::uint32_t> bucket(static_cast<std::size_t>(total));
    std::vector<std::int64_t> next(static_cast<std::size_t>(bucket_count) + 1, 0);
    for (std::int64_t row = 0; row < total; ++row) {
        if ((row & 0xFFFFF) == 0) stop.poll();
        const std::uint8_t* record = records + row * static_cast<std::int64_t>(record_bytes);
        const Lab lab = lab_at(record);
        bucket[row] = bucket_for(level_of(tail_ratio * widest_of(record, spreads)), lab);
        ++next[bucket[row] + 1];
    }
    for (std::int64_t b = 0; b < bucket_count; ++b) next[b + 1] += next[b];
    std::copy(next.begin(), next.end(), bucket_starts);
    for (std::int64_t image = 0; image < images; ++image) {
        if ((image & 0xFFFF) == 0) stop.poll();
        for (std::int64_t row = starts[image] - starts[0]; row < starts[image + 1] - starts[0]; ++row) {
            std::uint8_t* out = rows + next[bucket[row]]++ * static_cast<std::int64_t>(row_bytes);
            std::memcpy(out, records + row * static_cast<std::int64_t>(record_bytes), record_bytes);
            const auto position = static_cast<std::uint32_t>(image);
            for (int byte = 0; byte < 4; ++byte)
                out[record_bytes + byte] = static_cast<std::uint8_t>(position >> (8 * byte));
        }
    }
}

namespace {

using Block = std::array<int, 4>;  // a_first, a_last, b_first, b_last

// Squares of the a-b plane from a_first, b_first to before a_last, b_last, bounded as one block first: a
// block beyond `limit` (most of the plane, for a small ball) is ruled out without bounding its squares.
// With `later`, blocks at most `later_size` a side are left there whole rather than bounded.
void bound_squares(const DifferenceFloor& floor, double limit, int a_first, int a_last, int b_first, int b_last,
                   std::vector<double>& out, std::vector<Block>* later = nullptr, int later_size = 0) {
    if (later && a_last - a_first <= later_size && b_last - b_first <= later_size) {
        later->push_back({a_first, a_last, b_first, b_last});
        return;
    }
    const double value = floor.chromatic(low_ab + a_first * cell_size, low_ab + a_last * cell_size,
                                         low_ab + b_first * cell_size, low_ab + b_last * cell_size);
    if (value > limit) return;
    if (a_last - a_first == 1 && b_last - b_first == 1) {
        out[static_cast<std::size_t>(a_first * cells_b + b_first)] = value;
        return;
    }
    const int a_middle = a_last - a_first > 1 ? (a_first + a_last) / 2 : a_last;
    const int b_middle = b_last - b_first > 1 ? (b_first + b_last) / 2 : b_last;
    for (const auto& [a0, a1] : {std::pair{a_first, a_middle}, std::pair{a_middle, a_last}})
        for (const auto& [b0, b1] : {std::pair{b_first, b_middle}, std::pair{b_middle, b_last}})
            if (a0 < a1 && b0 < b1) bound_squares(floor, limit, a0, a1, b0, b1, out, later, later_size);
}

// The blocks of squares bound_squares leaves whole are taken in turn by every thread: the same calls as
// one thread makes, each square written by one.
constexpr int split_squares = 8;

}  // namespace

CellFloors cell_floors(const Lab& query, double reach) {
    Stop stop;
    return cell_floors(query, reach, reach, 1, stop);
}

CellFloors cell_floors(const Lab& query, double reach, double fine_radius, int threads, Stop& stop) {
    const DifferenceFloor floor(query);
    CellFloors out;
    for (int l = 0; l < cells_l; ++l)
        out.lightness[l] = floor.lightness(low_l + l * cell_size, low_l + (l + 1) * cell_size);
    out.chromatic.assign(static_cast<std::size_t>(cells_a * cells_b), std::numeric_limits<double>::infinity());
    std::vector<Block> blocks;
    bound_squares(floor, reach * reach, 0, cells_a, 0, cells_b, out.chromatic, &blocks, split_squares);
    std::atomic<std::size_t> next{0};
    run_on_threads(std::clamp<int>(threads, 1, static_cast<int>(std::max<std::size_t>(blocks.size(), 1))), stop, [&] {
        for (std::size_t k; (k = next.fetch_add(1)) < blocks.size();)
            bound_squares(floor, reach * reach, blocks[k][0], blocks[k][1], blocks[k][2], blocks[k][3], out.chromatic);
    });
    // The fine squares: their coarse square's bound, and their own where it may be within fine_radius.
    out.fine.resize(static_cast<std::size_t>(fine_squares * fine_squares));
    std::vector<std::int32_t> near;
    for (int a = 0; a < cells_a; ++a)
        for (int b = 0; b < cells_b; ++b) {
            const double coarse = out.chromatic[static_cast<std::size_t>(a * cells_b + b)];
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 2; ++j)
                    out.fine[static_cast<std::size_t>((2 * a + i) * fine_squares + 2 * b + j)] = coarse;
            if (coarse <= fine_radius * fine_radius) near.push_back(a * cells_b + b);
        }
    constexpr double half = cell_size / 2;
    next = 0;
    run_on_threads(std::clamp<int>(threads, 1, static_cast<int>(std::max<std::size_t>(near.size() / 64, 1))), stop,
                   [&] {
        for (std::size_t k; (k = next.fetch_add(1)) < near.size();) {
            const int a = near[k] / cells_b, b = near[k] % cells_b;
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 2; ++j) {
                    const double a_low = low_ab + a * cell_size + i * half, b_low = low_ab + b * cell_size + j * half;
                    double& square = out.fine[static_cast<std::size_t>((2 * a + i) * fine_squares + 2 * b + j)];
                    // Both bound the square: the greater is the closer.
                    square = std::max(square, floor.chromatic(a_low, a_low + half, b_low, b_low + half));
                }
        }
    });
    out.least_lightness = *std::min_element(out.lightness.begin(), out.lightness.end());
    out.least_chromatic = *std::min_element(out.chromatic.begin(), out.chromatic.end());
    return out;
}

CellRanges cells_within(const LevelsFilled& filled, const CellFloors& floors, const double* radii) {
    CellRanges cells_read{};
    for (int level = 0; level < levels; ++level) {
        std::int32_t* low = cells_read.data() + level * 6;
        std::int32_t* high = low + 3;
        low[0] = 0, high[0] = -1;  // nothing to read
        if (!filled[level]) continue;
        const int squares = squares_of(level);
        if (!(radii[level] < std::numeric_limits<double>::infinity())) {
            low[0] = low[1] = low[2] = 0;
            high[0] = cells_l - 1, high[1] = high[2] = squares - 1;
            continue;
        }
        // A cell is within when its slab's and its square's bounds add up to at most the limit, and both
        // least bounds are reached by some cell: the cells within span the slabs and squares within on their own.
        const double limit = radii[level] * radii[level];
        std::int32_t first[3] = {cells_l, squares, squares}, last[3] = {-1, -1, -1};
        for (int l = 0; l < cells_l; ++l)
            if (floors.lightness[l] + floors.least_chromatic <= limit) first[0] = std::min(first[0], l), last[0] = l;
        for (int a = 0; a < squares; ++a)
            for (int b = 0; b < squares; ++b)
                if (floors.square(level, a, b) + floors.least_lightness <= limit) {
                    first[1] = std::min(first[1], a), last[1] = std::max(last[1], a);
                    first[2] = std::min(first[2], b), last[2] = std::max(last[2], b);
                }
        if (last[0] < 0 || last[1] < 0) continue;
        for (int axis = 0; axis < 3; ++axis) low[axis] = first[axis], high[axis] = last[axis];
    }
    return cells_read;
}

CellRanges query_cells(const std::int64_t* bucket_starts, const Lab& query, double tolerance) {
    std::array<double, levels> radii{};
    for (int level = 0; level < levels; ++level) radii[level] = tolerance + level_bound(level);
    LevelsFilled filled{};
    for (int level = 0; level < levels; ++level)
        filled[level] = bucket_starts[level_start(level)] != bucket_starts[level_start(level + 1)];
    return cells_within(filled, cell_floors(query, radii[levels - 2]), radii.data());
}

namespace {

// The spans of buckets a query reads, (L, a) row by row, in bucket order.
template <typename Visit>
void for_each_span(const CellRanges& cells_read, Visit&& visit) {
    for (int level = 0; level < levels; ++level) {
        const std::int32_t* low = cells_read.data() + level * 6;
        const std::int32_t* high = low + 3;
        for (int l = low[0]; l <= high[0]; ++l)
            for (int a = low[1]; a <= high[1]; ++a)
                visit(bucket_of(level, l, a, low[2]), bucket_of(level, l, a, high[2]) + 1);
    }
}

bool reads_cell(const CellRanges& cells_read, const Cell& cell) noexcept {
    const int at[3] = {cell.l, cell.a, cell.b};
    const std::int32_t* low = cells_read.data() + cell.level * 6;
    for (int axis = 0; axis < 3; ++axis)
        if (at[axis] < low[axis] || at[axis] > low[3 + axis]) return false;
    return true;
}

}  // namespace

Shares colour_shares(const std::int64_t* bucket_starts, const std::uint8_t* rows, std::int64_t images, const Lab& query,
                     double tolerance, double tail, double ratio, int threads, Stop& stop) {
    const Estimator estimate{query, warped(query), tolerance, tail, ratio, spread_table()};
    std::vector<Span> spans;
    for_each_span(query_cells(bucket_starts, query, tolerance), [&](std::int64_t first, std::int64_t last) {
        const Span span{bucket_starts[first], bucket_starts[last]};
        for (std::int64_t begin = span.begin; begin < span.end; begin += piece_rows)
            spans.push_back({begin, std::min(begin + piece_rows, span.end)});
    });
    // Each piece's contributions in row order, pieces in bucket order: the sums below add them in one
    // order whatever thread computed them.
    std::vector<std::vector<Contribution>> found(spans.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> bad_row{false};
    const int workers = std::clamp(threads, 1, static_cast<int>(std::max<std::size_t>(spans.size(), 1)));
    run_on_threads(workers, stop, [&] {
        for (std::size_t piece; (piece = next.fetch_add(1)) < spans.size();) {
            stop.poll();
            std::vector<Contribution>& out = found[piece];
            for (std::int64_t row = spans[piece].begin; row < spans[piece].end; ++row) {
                const std::uint8_t* bytes = rows + row * static_cast<std::int64_t>(row_bytes);
                const double value = estimate(bytes);
                if (!(value > 0.0)) continue;
                const std::uint32_t image = u32_at(bytes + record_bytes);
                if (image >= static_cast<std::uint64_t>(images)) {
                    bad_row = true;
                    continue;
                }
                out.push_back({image, value});
            }
        }
    });
    Shares result;
    result.bad_row = bad_row;
    std::vector<double> sums(static_cast<std::size_t>(images), 0.0);
    std::vector<std::uint8_t> touched(static_cast<std::size_t>(images), 0);
    for (const std::vector<Contribution>& piece : found)
        for (const Contribution& each : piece) {
            sums[each.image] += each.value;
            touched[each.image] = 1;
        }
    for (std::int64_t image = 0; image < images; ++image)
        if (touched[image]) {
            result.images.push_back(static_cast<std::uint32_t>(image));
            result.shares.push_back(sums[image]);
        }
    return result;
}

Postings build_postings(const std::uint8_t* records, const std::int64_t* starts, std::int64_t images, double tail_ratio,
                        std::uint8_t* image_rows, Stop& stop) {
    const std::array<double, 256> spreads = spread_table();
    Postings out;
    // Which buckets hold records: marked in a table over every bucket for a large index; a small one (a
    // layer of a few changed images) sorts its own rather than clear and scan millions of buckets.
    const std::int64_t total = starts[images] - starts[0];
    const bool few = total < bucket_count / 256;  // sorting them costs less up to some 20,000 rows
    std::vector<std::uint8_t> filled(few ? 0 : static_cast<std::size_t>(bucket_count), 0);
    std::vector<std::pair<std::uint32_t, std::int64_t>> order;  // (bucket, record): sorted, the records' order kept
    for (std::int64_t image = 0; image < images; ++image) {
        if ((image & 0xFFFF) == 0) stop.poll();
        order.clear();
        for (std::int64_t row = starts[image] - starts[0]; row < starts[image + 1] - starts[0]; ++row) {
            const std::uint8_t* record = records + row * static_cast<std::int64_t>(record_bytes);
            const Lab lab = lab_at(record);
            order.emplace_back(bucket_for(level_of(tail_ratio * widest_of(record, spreads)), lab), row);
        }
        std::sort(order.begin(), order.end());
        std::uint8_t* out_row = image_rows + (starts[image] - starts[0]) * static_cast<std::int64_t>(row_bytes);
        for (std::size_t k = 0; k < order.size(); ++k, out_row += row_bytes) {
            std::memcpy(out_row, records + order[k].second * static_cast<std::int64_t>(record_bytes), record_bytes);
            for (int byte = 0; byte < 4; ++byte)
                out_row[record_bytes + byte] = static_cast<std::uint8_t>(order[k].first >> (8 * byte));
            if (few) out.buckets.push_back(order[k].first);
            else filled[order[k].first] = 1;
        }
    }
    // Buckets holding records, numbered in order; then the entries per block and bucket. Only the numbers of
    // buckets holding records are read, so the table is not cleared first.
    std::unique_ptr<std::int32_t[]> number;
    if (few) {
        std::sort(out.buckets.begin(), out.buckets.end());
        out.buckets.erase(std::unique(out.buckets.begin(), out.buckets.end()), out.buckets.end());
    } else {
        number = std::make_unique_for_overwrite<std::int32_t[]>(static_cast<std::size_t>(bucket_count));
        static_assert(bucket_count % 8 == 0);
        for (std::int64_t first = 0; first < bucket_count; first += 8) {
            std::uint64_t eight = 0;
            std::memcpy(&eight, filled.data() + first, sizeof eight);
            if (eight == 0) continue;  // mostly empty: passed over eight buckets at a time
            for (std::int64_t bucket = first; bucket < first + 8; ++bucket)
                if (filled[bucket]) {
                    number[bucket] = static_cast<std::int32_t>(out.buckets.size());
                    out.buckets.push_back(static_cast<std::uint32_t>(bucket));
                }
        }
    }
    const auto number_of = [&](std::uint32_t bucket) {
        if (number) return static_cast<std::int64_t>(number[bucket]);
        return static_cast<std::int64_t>(std::lower_bound(out.buckets.begin(), out.buckets.end(), bucket) -
                                         out.buckets.begin());
    };
    const auto listed = static_cast<std::int64_t>(out.buckets.size());
    const std::int64_t blocks = (images + block_images - 1) / block_images;
    out.starts.assign(static_cast<std::size_t>(blocks * listed) + 1, 0);
    // Each image's buckets, run by run of its rows (one bucket per run): counted, then written.
    const auto for_each_mass = [&](auto&& visit) {
        const std::uint8_t* row = image_rows;
        for (std::int64_t image = 0; image < images; ++image) {
            if ((image & 0xFFFF) == 0) stop.poll();
            const std::uint8_t* end = row + (starts[image + 1] - starts[image]) * static_cast<std::int64_t>(row_bytes);
            while (row < end) {
                const std::uint32_t bucket = u32_at(row + record_bytes);
                std::uint32_t mass = 0;
                for (; row < end && u32_at(row + record_bytes) == bucket; row += row_bytes) mass += u16_at(row + 6);
                visit(image, (image >> block_bits) * listed + number_of(bucket), mass);
            }
        }
    };
    for_each_mass([&](std::int64_t, std::int64_t slot, std::uint32_t) { ++out.starts[slot + 1]; });
    for (std::size_t k = 1; k < out.starts.size(); ++k) out.starts[k] += out.starts[k - 1];
    out.entries.resize(static_cast<std::size_t>(out.starts.back()));
    std::vector<std::int64_t> next(out.starts.begin(), out.starts.end() - 1);
    for_each_mass([&](std::int64_t image, std::int64_t slot, std::uint32_t mass) {
        const auto offset = static_cast<std::uint32_t>(image & (block_images - 1));
        out.entries[next[slot]++] = offset | (std::min(mass, mass_whole) << 16);
    });
    return out;
}

namespace {

// What a record can count at a distance from the query: nothing beyond its reach, all of its weight within
// the tolerance, and beyond it, at least f > T from the query (f a cell's floor), at most Phi((T - f) / S)
// of its weight for S at least its spread along the direction (the estimator's spread is at most ratio
// times its widest; Phi((T - d) / s) grows with s and falls with d). A cell of a level is bounded with the
// level's greatest S, a record with its own. Bounds are integers, in units of 1 / allowance_unit of a
// weight unit, rounded up. A cell is within a radius when its floor is (cell_floors): every point within
// the radius lies in such a cell.
constexpr std::uint64_t allowance_unit = std::uint64_t{1} << 16;
// Beyond this many of its level's greatest spreads a record counts at most Phi(-bounded_spreads): a bound
// allows every record that much through the image's whole weight, and reads only the lists of cells that
// allow more (adding what they allow beyond it), rather than the widest part of each level's ball. Fewer
// spreads would read far fewer lists, but the allowance every image gets would near the least share (1 %
// by default), and a colour few images hold would have to bound nearly every image record by record.
constexpr double bounded_spreads = 3.0;
// A search for one colour first bounds by fewer spreads: it reads fewer lists (the wide levels' balls
// shrink most) and allows every image Phi(-first_spreads), 1.2 %, through its whole weight. Where the last
// of the first `limit` holds several times that, as for most colours, the few images the allowance lifts
// over it cost less than the lists saved. Where it holds less, the allowance lifts most images over it: the
// search gives up once it has bounded give_up_after of the images without the last of the first `limit`
// reaching give_up_times the allowance, and begins again with bounded_spreads. Several colours rank by the
// least of their shares, mostly a few percent, and the last of more than first_limit images holds less
// than the last of a few, so those searches begin with bounded_spreads (searches for 2,000 or 5,000 images
// of one colour took up to a fifth longer when they began with the looser allowance).
constexpr double first_spreads = 2.25, give_up_times = 4.0, give_up_after = 1.0 / 1024;
constexpr std::int64_t first_limit = 1000;
// Phi is tabulated at steps of 1 / allowance_steps below 0, each entry taken at the step's upper end, so
// that a bound costs a lookup rather than erfc (within 0.16 % of a record's weight of Phi itself).
constexpr double allowance_steps = 256.0;
// Near the tolerance a record of little spread counts far less than a cell's floor allows: the floor lies
// some units below the cell's nearest colour. The a-b squares within fine_reach beyond the tolerance are
// bounded again in parts fine_split a side, which record bounds read by the record's own a and b.
constexpr int fine_split = 4;
constexpr double fine_reach = 8.0;

// Allowances beyond the tolerance: entry i is what a record i / allowance_steps of its spreads beyond it
// may count, rounded up (the 1 above keeps ndtr's own rounding on the safe side).
std::vector<std::uint64_t> allowance_table(double tail) {
    std::vector<std::uint64_t> table;
    const double last = std::min(std::ceil(tail * allowance_steps), 64.0 * allowance_steps);
    for (double step = 0.0; step <= last; ++step) {
        const double part = std::ceil(ndtr(-step / allowance_steps) * static_cast<double>(allowance_unit)) + 1.0;
        table.push_back(part >= static_cast<double>(allowance_unit) ? allowance_unit
                                                                    : static_cast<std::uint64_t>(part));
    }
    return table;
}

std::uint64_t allowance(double squared_floor, double tolerance, double spread, double tail,
                        const std::vector<std::uint64_t>& table) noexcept {
    if (squared_floor <= tolerance * tolerance) return allowance_unit;
    const double beyond = std::sqrt(squared_floor) - tolerance;
    if (!(spread > 0.0) || beyond > tail * spread) return 0;
    // Rounded down, and a little further for the rounding of the quotient: the entry at or above Phi.
    const double step = std::floor(beyond / spread * allowance_steps * (1.0 - 1e-9));
    return step < static_cast<double>(table.size()) ? table[static_cast<std::size_t>(step)] : table.back();
}

// One query colour of a search: the estimator, the floors of the grid's cells, per level its greatest
// spread along a direction and the squared radii of the ball it reads (infinite: everywhere) and of the
// ball whose posting lists bound the images, the cells of those balls, and what a bound adds for every
// image beyond the second (a fraction of its whole weight in allowance units).
struct Reader {
    Reader(const Estimator& estimator, const Lab& query) : estimate(estimator), floor(query) {}

    Estimator estimate;
    DifferenceFloor floor;
    CellFloors floors;
    std::vector<std::uint64_t> table;
    // Per a-b square near the colour, the offset of its parts' floors in `parts` (fine_split^2 of them,
    // a-major); -1 elsewhere. A square's parts are bounded when a record first reads them (parts_of): a
    // search evaluates records in some of the squares only, and bounding all of them first cost it 1 to 2.4
    // ms of wall time.
    std::vector<std::int32_t> part_starts;
    mutable std::vector<double> parts;
    // Per near square (in the order of `parts`): 0 unbounded, 1 being bounded, 2 bounded.
    mutable std::unique_ptr<std::atomic<std::uint8_t>[]> parts_made;
    // The lightness term's floor over steps of 1 / lightness_steps from 0 to 100: a record's own lightness
    // is read from it rather than bounded on its own, every row a search bounds.
    std::vector<double> lightness_floors;
    std::array<double, levels> spread{}, read_limit{}, bound_limit{};
    CellRanges cells_read{}, cells_bound{};
    std::uint64_t beyond_bound = 0;
};

// The greatest spread along a direction of a level's records; 0 for the level without spread, infinite
// for the last.
double level_spread(int level, double tail) noexcept { return level_bound(level) / tail; }

bool spread_bounded(int level) noexcept { return level > 0 && level < levels - 1; }

// Steps per lightness unit of Reader::lightness_floors: a step's floor lies below a record's own by at most
// what 1 / 16 of a unit of lightness changes, far less than a cell's.
constexpr double lightness_steps = 16.0;

void prepare_reader(Reader& reader, const LevelsFilled& filled, double tolerance, double tail, double spreads,
                    int threads, Stop& stop) {
    std::array<double, levels> read{}, bound{};
    double reach = tolerance, fine_radius = tolerance;
    for (int level = 0; level < levels; ++level) {
        const double spread = level_spread(level, tail);
        const bool empty = !filled[level];
        // Without spread nothing counts beyond the tolerance; without a bound on it, anything may.
        reader.spread[level] = empty ? 0.0 : spread;
        read[level] = reader.spread[level] == 0.0 ? tolerance : tolerance + tail * spread;
        bound[level] = spread_bounded(level) && !empty ? tolerance + spreads * spread : read[level];
        if (std::isfinite(read[level])) reach = std::max(reach, read[level]);
        // Fine squares tighten what the posting lists allow, within the balls they are read in.
        if (fine_level(level) && !empty && std::isfinite(bound[level]))
            fine_radius = std::max(fine_radius, bound[level]);
        reader.read_limit[level] = read[level] * read[level];
        reader.bound_limit[level] = bound[level] * bound[level];
    }
    reader.beyond_bound =
        static_cast<std::uint64_t>(std::ceil(ndtr(-spreads) * static_cast<double>(allowance_unit))) + 1;
    reader.table = allowance_table(tail);
    reader.floors = cell_floors(reader.estimate.query, reach, fine_radius, threads, stop);
    reader.cells_read = cells_within(filled, reader.floors, read.data());
    reader.cells_bound = cells_within(filled, reader.floors, bound.data());
    reader.lightness_floors.resize(static_cast<std::size_t>(100.0 * lightness_steps) + 1);
    for (std::size_t step = 0; step < reader.lightness_floors.size(); ++step)
        reader.lightness_floors[step] = reader.floor.lightness(static_cast<double>(step) / lightness_steps,
                                                               static_cast<double>(step + 1) / lightness_steps);
    reader.part_starts.assign(static_cast<std::size_t>(cells_a * cells_b), -1);
    const double near = (tolerance + fine_reach) * (tolerance + fine_reach) - reader.floors.least_lightness;
    std::vector<std::int32_t> near_squares;
    for (int square = 0; square < cells_a * cells_b; ++square)
        if (reader.floors.chromatic[static_cast<std::size_t>(square)] <= near) {
            reader.part_starts[static_cast<std::size_t>(square)] =
                static_cast<std::int32_t>(near_squares.size() * fine_split * fine_split);
            near_squares.push_back(square);
        }
    reader.parts.assign(near_squares.size() * fine_split * fine_split, 0.0);
    reader.parts_made = std::make_unique<std::atomic<std::uint8_t>[]>(near_squares.size());
}

// The parts of a near square (its parts' floors from `start` in reader.parts), bounded by the first thread
// that asks; the others wait for them, so that every record is bounded alike whoever reads it first.
const double* parts_of(const Reader& reader, std::size_t square, std::int32_t start) noexcept {
    double* out = reader.parts.data() + start;
    std::atomic<std::uint8_t>& made = reader.parts_made[static_cast<std::size_t>(start) / (fine_split * fine_split)];
    if (made.load(std::memory_order_acquire) == 2) return out;
    std::uint8_t unbounded = 0;
    if (made.compare_exchange_strong(unbounded, 1, std::memory_order_acquire)) {
        constexpr double part_size = cell_size / fine_split;
        const int a = static_cast<int>(square) / cells_b, b = static_cast<int>(square) % cells_b;
        const double coarse = reader.floors.chromatic[square];
        for (int i = 0; i < fine_split; ++i)
            for (int j = 0; j < fine_split; ++j) {
                const double a_low = low_ab + a * cell_size + i * part_size;
                const double b_low = low_ab + b * cell_size + j * part_size;
                // Both bound the part: the greater is the closer.
                out[i * fine_split + j] =
                    std::max(coarse, reader.floor.chromatic(a_low, a_low + part_size, b_low, b_low + part_size));
            }
        made.store(2, std::memory_order_release);
        return out;
    }
    while (made.load(std::memory_order_acquire) != 2) std::this_thread::yield();
    return out;
}

// The floor of a record's a-b square, or of its part of its coarse square when that is bounded.
double chromatic_floor(const Reader& reader, const Cell& cell, const std::uint8_t* bytes) noexcept {
    const double own = reader.floors.square(cell.level, cell.a, cell.b);
    const int shift = fine_level(cell.level) ? 1 : 0;  // a fine square lies in coarse square (a / 2, b / 2)
    const auto square = static_cast<std::size_t>((cell.a >> shift) * cells_b + (cell.b >> shift));
    const std::int32_t start = reader.part_starts[square];
    if (start < 0) return own;
    const auto a_cell = static_cast<double>(square / cells_b), b_cell = static_cast<double>(square % cells_b);
    const double a = (half_value(u16_at(bytes + 2)) - low_ab) / cell_size - a_cell;
    const double b = (half_value(u16_at(bytes + 4)) - low_ab) / cell_size - b_cell;
    // A record beyond the grid, filed in an edge cell, lies in no part: the square's floor stands.
    if (!(a >= 0.0 && a < 1.0 && b >= 0.0 && b < 1.0)) return own;
    const int i = std::min(static_cast<int>(a * fine_split), fine_split - 1);
    const int j = std::min(static_cast<int>(b * fine_split), fine_split - 1);
    return std::max(own, parts_of(reader, square, start)[i * fine_split + j]);
}

// Visits the image's rows in the buckets the colour reads, in bucket order, with their cell; flags a row
// whose bucket lies beyond the index.
template <typename Visit>
void for_each_read_row(const ThresholdIndex& index, const Reader& reader, std::int64_t image, bool& bad,
                       Visit&& visit) {
    for (std::int64_t row = index.image_starts[image]; row < index.image_starts[image + 1]; ++row) {
        const std::uint8_t* bytes = index.image_rows + row * static_cast<std::int64_t>(row_bytes);
        const std::uint32_t bucket = u32_at(bytes + record_bytes);
        if (bucket >= static_cast<std::uint64_t>(bucket_count)) bad = true;
        else if (const Cell cell = cell_at(bucket); reads_cell(reader.cells_read, cell)) visit(bytes, cell);
    }
}

// A record an image's bound allows something: where it is, what the bound allows it (allowance units), the
// floor of its squared difference from the colour and, once evaluated, what it counts (percent).
struct Counted {
    const std::uint8_t* bytes;
    std::uint64_t allowed;
    double floor;
    double value;
};

// What the image's records within the balls the colour reads can count, each by its own spread (at most
// what add_bounds allows its cell), and those that can count anything, in bucket order.
std::uint64_t record_bound(const ThresholdIndex& index, const Reader& reader, std::int64_t image, bool& bad,
                           std::vector<Counted>& counted) {
    std::uint64_t bound = 0;
    counted.clear();
    const Estimator& estimate = reader.estimate;
    for_each_read_row(index, reader, image, bad, [&](const std::uint8_t* bytes, const Cell& cell) {
        const int level = cell.level;
        // The cell's a-b square with the record's own lightness, closer than its slab's.
        const double lightness = half_value(u16_at(bytes)) * lightness_steps;
        const double floor = (lightness >= 0.0 && lightness < static_cast<double>(reader.lightness_floors.size())
                                  ? reader.lightness_floors[static_cast<std::size_t>(lightness)]
                                  : reader.floor.lightness(lightness / lightness_steps, lightness / lightness_steps)) +
                             chromatic_floor(reader, cell, bytes);
        if (!(floor <= reader.read_limit[level])) return;
        const std::uint64_t factor =
            allowance(floor, estimate.tolerance, estimate.ratio * widest_of(bytes, estimate.spreads), estimate.tail,
                      reader.table);
        if (factor == 0) return;
        const std::uint64_t allowed = static_cast<std::uint64_t>(u16_at(bytes + 6)) * factor;
        bound += allowed;
        counted.push_back({bytes, allowed, floor, 0.0});
    });
    return bound;
}

// How far ahead add_bounds asks for the entries and the starts of the lists it reads.
constexpr std::int64_t prefetch_entries = 512;
constexpr std::size_t prefetch_lists = 16;

// What the posting lists of the cells the colour bounds by allow each image: its mass in a cell times the
// allowance of the cell at its level's greatest spread. Every record is allowed beyond_bound through the
// image's whole weight (which the caller adds once for every colour: it is the same for each), and the
// lists add only what a cell allows beyond that. The lists are added a block of images at a time into
// sums that stay in cache, rather than into bounds spread over megabytes; take(worker, first, count, sums)
// gets each block's while they are there. Blocks are independent, so threads take them in turn, each
// adding into sums of its own (in its own core's cache); take is called on every thread at once, for
// blocks apart, `worker` naming the thread (below the number of threads). The sums are integers: any
// thread and order gives the same. False when an entry names an image beyond the index or the starts do
// not fit the entries.
template <typename Take>
bool add_bounds(const ThresholdIndex& index, const Reader& reader, int threads, Stop& stop, Take&& take) {
    const Estimator& estimate = reader.estimate;
    const std::uint32_t* const listed = index.posting_buckets;
    const std::uint32_t* const listed_end = listed + index.filled_buckets;
    // The listed buckets read, by number, and what each allows beyond beyond_bound: runs of consecutive ones
    // that allow alike as one (their lists lie one after another in a block), as across the cells well within
    // the tolerance, so that each block reads fewer starts and runs fewer loops. (A run's inner starts are
    // not read, so not checked either: its entries are read whole, within the index, whatever they hold.)
    struct Run {
        std::int64_t first, end;
        std::uint64_t factor;
    };
    std::vector<Run> read;
    for_each_span(reader.cells_bound, [&](std::int64_t first, std::int64_t last) {
        for (const std::uint32_t* at = std::lower_bound(listed, listed_end, static_cast<std::uint32_t>(first));
             at != listed_end && *at < last; ++at) {
            const Cell cell = cell_at(*at);
            const int level = cell.level;
            const double floor = reader.floors.squared(level, cell.l, cell.a, cell.b);
            if (!(floor <= reader.bound_limit[level])) continue;
            const std::uint64_t allowed =
                allowance(floor, estimate.tolerance, reader.spread[level], estimate.tail, reader.table);
            // Every record is allowed beyond_bound of its weight already, by the image's whole weight.
            if (allowed <= reader.beyond_bound) continue;
            const std::int64_t k = at - listed;
            const std::uint64_t factor = allowed - reader.beyond_bound;
            if (!read.empty() && read.back().end == k && read.back().factor == factor) ++read.back().end;
            else read.push_back({k, k + 1, factor});
        }
    });
    const std::int64_t blocks = (index.images + block_images - 1) / block_images;
    std::atomic<std::int64_t> next{0};
    std::atomic<int> started{0};
    std::atomic<bool> bad{false};
    run_on_threads(static_cast<int>(std::clamp<std::int64_t>(threads, 1, std::max<std::int64_t>(blocks, 1))), stop,
                   [&] {
        const int worker = started.fetch_add(1);
        std::vector<std::uint64_t> sums(static_cast<std::size_t>(block_images));
        bool bad_here = false;
        for (std::int64_t block; (block = next.fetch_add(1)) < blocks;) {
            stop.poll();
            const std::int64_t first = block * block_images;
            const std::int64_t count = std::min(block_images, index.images - first);
            std::fill(sums.begin(), sums.end(), 0);
            const std::int64_t* block_starts = index.posting_starts + block * index.filled_buckets;
            const std::uint64_t* weights = index.image_weights + first;
            for (std::size_t r = 0; r < read.size(); ++r) {
                const auto [k, k_end, factor] = read[r];
                // The starts of the lists read are far apart: asked for ahead as well.
                if (r + prefetch_lists < read.size()) {
                    __builtin_prefetch(block_starts + read[r + prefetch_lists].first);
                    __builtin_prefetch(block_starts + read[r + prefetch_lists].end);
                }
                const std::int64_t begin = block_starts[k], end = block_starts[k_end];
                if (!(begin >= 0 && begin <= end && end <= index.entry_count)) {
                    bad_here = true;
                    continue;
                }
                // Copies the compiler can keep in registers: the sums' stores could alias the read list and the
                // index's fields.
                const std::uint64_t times = factor;
                std::uint64_t* const out = sums.data();
                const std::uint32_t* const entries = index.posting_entries;
                const std::int64_t last_entry = index.entry_count - 1;
                for (std::int64_t at = begin; at < end;) {
                    // The stores into the sums keep the processor from fetching the entries ahead on its own: a
                    // line at a time is asked for well ahead (the next lists read mostly follow in memory).
                    __builtin_prefetch(entries + std::min(at + prefetch_entries, last_entry));
                    for (const std::int64_t line_end = std::min(end, (at | 15) + 1); at < line_end; ++at) {
                        const std::uint32_t entry = entries[at];
                        const std::uint32_t offset = entry & 0xFFFF, mass = entry >> 16;
                        if (mass != mass_whole) [[likely]]
                            out[offset] += mass * times;
                        else if (offset < count) out[offset] += weights[offset] * times;
                        else bad_here = true;
                    }
                }
            }
            // Offsets beyond a short last block name no image: what they added is the sign of it.
            for (std::int64_t offset = count; offset < block_images; ++offset)
                if (sums[static_cast<std::size_t>(offset)] != 0) bad_here = true;
            take(worker, first, count, sums.data());
        }
        if (bad_here) bad = true;
    });
    return !bad;
}

// Allowance units in percent of an image, with a relative margin far above the rounding of a share's sum
// of rounded products, so that it stays above the share it bounds.
double percent_of(std::uint64_t units) noexcept {
    return static_cast<double>(units) * (100.0 / (65535.0 * static_cast<double>(allowance_unit))) * (1.0 + 1e-9);
}

// The image's share of the colour as colour_shares sums it, from the rows record_bound allows anything (in
// bucket order): the others count nothing, and CIEDE2000 need not say so. Negative when the share is
// below `needed`: once what the rows evaluated count plus what the rest may count falls below it, the
// others need not be.
double exact_share(const Reader& reader, std::vector<Counted>& counted, std::uint64_t bound, double needed,
                   std::vector<std::pair<double, std::uint32_t>>& order) {
    order.resize(counted.size());
    // Heavy records near the tolerance's edge first: those deep inside count about what they are allowed and
    // bring the image no nearer to being dropped, those near the edge mostly count far less (a quarter fewer
    // records evaluated than heaviest first, over the benchmark's colours at 100,000 images).
    const double edge = reader.estimate.tolerance * reader.estimate.tolerance;
    for (std::uint32_t k = 0; k < order.size(); ++k) {
        const double near_edge = std::min(1.0, counted[k].floor / edge);
        order[k] = {static_cast<double>(counted[k].allowed) * near_edge * near_edge, k};
    }
    std::sort(order.begin(), order.end(), [](const auto& x, const auto& y) {
        return x.first != y.first ? x.first > y.first : x.second < y.second;
    });
    double so_far = 0.0;
    for (const auto& [key, k] : order) {
        counted[k].value = reader.estimate(counted[k].bytes);
        bound -= counted[k].allowed;
        if (counted[k].value > 0.0) so_far += counted[k].value;
        // Summed in another order than the share: the margin covers the difference.
        if ((so_far + percent_of(bound)) * (1.0 + 1e-9) < needed) return -1.0;
    }
    double sum = 0.0;
    for (const Counted& each : counted)
        if (each.value > 0.0) sum += each.value;
    return sum;
}

struct Ranked {
    double least, sum;
    std::int64_t id;
    std::uint32_t image;
    std::size_t slot;  // where its shares are kept
};

// The ranking: the greater least share, then the greater sum, then the smaller id.
bool ranks_before(const Ranked& x, const Ranked& y) noexcept {
    if (x.least != y.least) return x.least > y.least;
    if (x.sum != y.sum) return x.sum > y.sum;
    return x.id < y.id;
}

// Candidates a batch takes at first (as many as the search asks for, within these); each batch after takes
// twice as many, up to the last size. A batch is evaluated against the last of the first `limit` as it
// stood before it: until `limit` images are held every candidate is evaluated in full, so the first batch
// is no larger than needed to hold them; and a batch evaluated in full may go past the point where the
// search is settled, so batches stay small beside the evaluation of a large catalogue's candidates.
constexpr std::size_t least_first_batch = 16, first_batch = 128, last_batch = 512;
// How far ahead of the candidate bounded the first lines of its rows, and its rows' start, are asked for.
constexpr std::size_t rows_ahead = 3, starts_ahead = 8;
constexpr std::int64_t rows_ahead_bytes = 12 * 64;
// Candidates are gathered in stages of bounds, from a histogram of this many bins: the first stage holds
// some thousands, each next twice as many, up to the last size.
constexpr std::size_t histogram_bins = 65535, first_stage = 4096, last_stage = 65536;
// A bin holds the bounds of 2^bin_shift units (0.003 % of an image): counted while the bounds are made, before
// their greatest is known, so an image of the usual whole weight (65,535, all of it allowed) falls in the
// lower half; greater bounds share the last bin. An image no search can take has no bin.
constexpr int bin_shift = 17;
constexpr std::uint16_t no_bin = 0xFFFF;

std::uint16_t bin_of(std::uint64_t bound) noexcept {
    return static_cast<std::uint16_t>(std::min<std::uint64_t>(bound >> bin_shift, histogram_bins - 1));
}

// threshold_search with every cell bounded by `spreads` of its level's greatest spread. With give_up set, it
// returns nothing once it has bounded give_up_after of the images while the last of the first `limit` holds
// less than give_up_times what the bound allows every image.
std::optional<Found> search_by(const ThresholdIndex& index, const std::uint8_t* keep, const std::int64_t* ids,
                               const std::vector<Lab>& queries, double tolerance, double tail, double ratio,
                               double min_share, std::int64_t limit, int threads, const LevelsFilled& filled,
                               double spreads, bool give_up, Stop& stop) {
    const std::size_t colours = queries.size();
    Found found;
    std::vector<Reader> readers;
    const auto percent = percent_of;
    // The least bound that reaches min_share (percent_of never falls as the units grow).
    std::uint64_t least_units = 1, most_units = 0;
    for (std::uint64_t step = std::uint64_t{1} << 62; step > 0; step >>= 1)
        if (!(percent(least_units + step - 1) >= min_share)) least_units += step;
    const auto eligible = [&](std::uint64_t bound, std::size_t image) {
        return bound >= least_units && (!keep || keep[image]);
    };
    // Per image, the least over the colours of its bound, and the greatest bound of an eligible image: both
    // taken while each block's sums are in cache, each thread writing only its blocks' bounds and its own
    // greatest.
    // Left unset here: every block's bounds are written by the thread that adds its lists, so that a large
    // catalogue's megabytes are neither zeroed first nor faulted in on one thread.
    const std::unique_ptr<std::uint64_t[]> least_bound(new std::uint64_t[static_cast<std::size_t>(index.images)]);
    std::vector<std::uint64_t> most_of(static_cast<std::size_t>(std::max(threads, 1)), 0);
    // With the last colour's bounds, each image's bin (no_bin when it cannot be taken), counted into the
    // histogram of the thread that made it: the passes over every image that gather candidates then read
    // two bytes an image.
    const std::unique_ptr<std::uint16_t[]> bins(new std::uint16_t[static_cast<std::size_t>(index.images)]);
    std::vector<std::vector<std::uint32_t>> counts(most_of.size(), std::vector<std::uint32_t>(histogram_bins, 0));
    for (std::size_t c = 0; c < colours; ++c) {
        Reader& reader = readers.emplace_back(
            Estimator{queries[c], warped(queries[c]), tolerance, tail, ratio, spread_table()}, queries[c]);
        prepare_reader(reader, filled, tolerance, tail, spreads, threads, stop);
        const std::uint64_t beyond = reader.beyond_bound;
        const bool ok = add_bounds(index, reader, threads, stop,
                                   [&](int worker, std::int64_t first, std::int64_t count, const std::uint64_t* sums) {
            std::uint64_t* out = least_bound.get() + first;
            if (c == 0) std::copy(sums, sums + count, out);
            else
                for (std::int64_t k = 0; k < count; ++k) out[k] = std::min(out[k], sums[k]);
            if (c + 1 < colours) return;
            const std::uint64_t* weights = index.image_weights + first;
            std::uint64_t most = most_of[static_cast<std::size_t>(worker)];
            std::uint32_t* own = counts[static_cast<std::size_t>(worker)].data();
            std::uint16_t* own_bins = bins.get() + first;
            for (std::int64_t k = 0; k < count; ++k) {
                out[k] += weights[k] * beyond;
                own_bins[k] = no_bin;
                if (!eligible(out[k], static_cast<std::size_t>(first + k))) continue;
                most = std::max(most, out[k]);
                own_bins[k] = bin_of(out[k]);
                ++own[own_bins[k]];
            }
            most_of[static_cast<std::size_t>(worker)] = most;
        });
        if (!ok) {
            found.bad_entry = true;
            return found;
        }
    }
    most_units = *std::max_element(most_of.begin(), most_of.end());
    // The histogram of the bounds that reach min_share: candidates are taken from it a range of bounds at a
    // time, the heaviest first, so that a search settled among the first few thousand never sorts or holds
    // the rest.
    std::vector<std::uint32_t> histogram(histogram_bins, 0);
    for (const std::vector<std::uint32_t>& own : counts)
        for (std::size_t bin = 0; bin < own.size(); ++bin) histogram[bin] += own[bin];
    counts.clear();
    // Passes over every image take parts of them on every thread, each part gathered into its own list: what
    // they give does not depend on the threads.
    const std::int64_t parts = (index.images + block_images - 1) / block_images;
    const int part_workers = static_cast<int>(std::clamp<std::int64_t>(threads, 1, std::max<std::int64_t>(parts, 1)));
    const auto over_parts = [&](auto&& visit) {
        std::atomic<std::int64_t> next{0};
        std::atomic<int> started{0};
        run_on_threads(part_workers, stop, [&] {
            const int worker = started.fetch_add(1);
            for (std::int64_t part; (part = next.fetch_add(1)) < parts;) {
                stop.poll();
                visit(worker, part, static_cast<std::size_t>(part * block_images),
                      static_cast<std::size_t>(std::min(index.images, (part + 1) * block_images)));
            }
        });
    };
    std::vector<std::vector<std::pair<std::uint64_t, std::uint32_t>>> gathered(static_cast<std::size_t>(parts));
    std::vector<std::pair<std::uint64_t, std::uint32_t>> candidates;  // (bound, image)
    // Heaviest bound first, then the image, so that the order of evaluation is one whatever happens.
    const auto heavier = [](const auto& x, const auto& y) {
        return x.first != y.first ? x.first > y.first : x.second < y.second;
    };
    std::vector<Ranked> best;  // a heap, the last of the first `limit` on top
    std::vector<double> kept_shares, shares;
    std::vector<std::uint8_t> holds;
    std::vector<std::size_t> free_slots;
    std::size_t done = 0, stage = first_stage, bounded = 0;
    const auto give_up_at = static_cast<std::size_t>(std::ceil(static_cast<double>(index.images) * give_up_after));
    // What the bound allows an image of the usual whole weight however far it lies.
    const double allowed_all = percent(readers.front().beyond_bound * 65535);
    bool settled = false;
    // Bins below `upper` are left; each stage takes bins from the top until it holds `stage` candidates.
    for (std::size_t upper = std::size_t{bin_of(most_units)} + 1; !settled && upper > 0;) {
        std::size_t lower = upper, taken = 0;
        while (lower > 0 && taken < stage) taken += histogram[--lower];
        if (taken == 0) break;
        // No bound of the stage can enter the first `limit`: neither can any after it.
        const std::uint64_t stage_top =
            upper == histogram_bins ? most_units
                                    : std::min(most_units, (static_cast<std::uint64_t>(upper) << bin_shift) - 1);
        if (static_cast<std::int64_t>(best.size()) == limit && best.front().least > percent(stage_top)) break;
        over_parts([&](int, std::int64_t part, std::size_t first, std::size_t last) {
            std::vector<std::pair<std::uint64_t, std::uint32_t>>& own = gathered[static_cast<std::size_t>(part)];
            own.clear();
            // A range holds a few thousand of a million images: runs of images are first tested as a whole,
            // in a loop the compiler vectorises, and only runs holding one are gathered image by image.
            const std::uint16_t* const image_bins = bins.get();
            const auto low = static_cast<std::uint16_t>(lower), width = static_cast<std::uint16_t>(upper - lower);
            constexpr std::size_t run = 64;
            for (std::size_t start = first; start < last; start += run) {
                const std::size_t end = std::min(last, start + run);
                bool any = false;
                for (std::size_t image = start; image < end; ++image)
                    any |= static_cast<std::uint16_t>(image_bins[image] - low) < width;
                if (!any) continue;
                for (std::size_t image = start; image < end; ++image)
                    if (static_cast<std::uint16_t>(image_bins[image] - low) < width)
                        own.emplace_back(least_bound[image], static_cast<std::uint32_t>(image));
            }
        });
        candidates.clear();
        candidates.reserve(taken);
        for (const auto& own : gathered) candidates.insert(candidates.end(), own.begin(), own.end());
        done = 0;
        stage = std::min(2 * stage, last_stage);
        upper = lower;
        for (std::size_t batch =
                 std::clamp<std::size_t>(static_cast<std::size_t>(limit), least_first_batch, first_batch);
             done < candidates.size(); batch = std::min(2 * batch, last_batch)) {
            stop.poll();
            const auto begin = candidates.begin() + static_cast<std::ptrdiff_t>(done);
            const auto end =
                candidates.begin() + static_cast<std::ptrdiff_t>(std::min(candidates.size(), done + batch));
            std::nth_element(begin, end - 1, candidates.end(), heavier);
            std::sort(begin, end, heavier);
            // The batch's shares on every thread, each image's its own: the ranking below takes them in order.
            const auto count = static_cast<std::size_t>(end - begin);
            const double needed =
                static_cast<std::int64_t>(best.size()) == limit ? std::max(min_share, best.front().least) : min_share;
            shares.assign(count * colours, 0.0);
            holds.assign(count, 0);
            std::atomic<std::size_t> next{0};
            std::atomic<bool> bad{false};
            // Pieces of up to 16 candidates, smaller for a small batch so that every thread gets some.
            const std::size_t piece =
                std::clamp<std::size_t>(count / (4 * static_cast<std::size_t>(std::max(threads, 1))), 1, 16);
            // The least shares of the first `limit` as they stand: each thread adds those it holds in the batch, so
            // that the last of the first `limit` it is evaluated against rises within the batch too. Any `limit`
            // images evaluated bound it from below, so an image below it is none of the first `limit`.
            std::vector<double> standing;
            for (const Ranked& entry : best) standing.push_back(entry.least);
            const auto limit_size = static_cast<std::size_t>(limit);
            run_on_threads(std::clamp<int>(threads, 1, static_cast<int>((count + piece - 1) / piece)), stop, [&] {
                std::vector<std::vector<Counted>> counted(colours);
                std::vector<std::uint64_t> own_bounds(colours);
                std::vector<std::pair<double, std::uint32_t>> order;
                std::vector<double> leasts = standing;  // a heap, the least on top
                std::make_heap(leasts.begin(), leasts.end(), std::greater<>{});
                double needed_here = needed;
                bool bad_here = false;
                for (std::size_t first; (first = next.fetch_add(piece)) < count;) {
                    stop.poll();
                    for (std::size_t k = first; k < std::min(count, first + piece); ++k) {
                        const std::uint32_t image = begin[static_cast<std::ptrdiff_t>(k)].second;
                        // The candidates lie anywhere in the rows: the first lines of those a few ahead, and
                        // their starts before that, are asked for while this one is bounded.
                        if (k + rows_ahead < count) {
                            const std::int64_t* starts =
                                index.image_starts + begin[static_cast<std::ptrdiff_t>(k + rows_ahead)].second;
                            const auto width = static_cast<std::int64_t>(row_bytes);
                            const std::uint8_t* rows = index.image_rows + starts[0] * width;
                            // Within the image's own rows.
                            const std::int64_t bytes = std::min((starts[1] - starts[0]) * width, rows_ahead_bytes);
                            for (std::int64_t at = 0; at < bytes; at += 64) __builtin_prefetch(rows + at);
                        }
                        if (k + starts_ahead < count)
                            __builtin_prefetch(index.image_starts +
                                               begin[static_cast<std::ptrdiff_t>(k + starts_ahead)].second);
                        // Records far from the colour cost CIEDE2000 for nothing: first their bound, record by record.
                        bool held = true;
                        for (std::size_t c = 0; c < colours && held; ++c) {
                            own_bounds[c] = record_bound(index, readers[c], image, bad_here, counted[c]);
                            held = own_bounds[c] > 0 && percent(own_bounds[c]) >= needed_here;
                        }
                        double least = std::numeric_limits<double>::infinity();
                        for (std::size_t c = 0; c < colours && held; ++c) {
                            const double share = exact_share(readers[c], counted[c], own_bounds[c], needed_here, order);
                            shares[k * colours + c] = std::max(share, 0.0);
                            held = share > 0.0 && share >= min_share;
                            least = std::min(least, share);
                        }
                        holds[k] = held;
                        if (!held) continue;
                        if (leasts.size() < limit_size) {
                            leasts.push_back(least);
                            std::push_heap(leasts.begin(), leasts.end(), std::greater<>{});
                        } else if (least > leasts.front()) {
                            std::pop_heap(leasts.begin(), leasts.end(), std::greater<>{});
                            leasts.back() = least;
                            std::push_heap(leasts.begin(), leasts.end(), std::greater<>{});
                        }
                        if (leasts.size() == limit_size) needed_here = std::max(needed_here, leasts.front());
                    }
                }
                if (bad_here) bad = true;
            });
            if (bad) {
                found.bad_entry = true;
                return found;
            }
            for (std::size_t k = 0; k < count; ++k, ++done) {
                // No image left can enter the first `limit`: its least share is below that of the last of them.
                const std::uint64_t bound = begin[static_cast<std::ptrdiff_t>(k)].first;
                if (static_cast<std::int64_t>(best.size()) == limit && best.front().least > percent(bound)) {
                    settled = true;
                    break;
                }
                if (!holds[k]) continue;
                const std::uint32_t image = begin[static_cast<std::ptrdiff_t>(k)].second;
                const double* own = shares.data() + k * colours;
                Ranked entry{own[0], own[0], ids[image], image, 0};
                for (std::size_t c = 1; c < colours; ++c) {
                    entry.least = std::min(entry.least, own[c]);
                    entry.sum += own[c];
                }
                if (static_cast<std::int64_t>(best.size()) == limit) {
                    if (!ranks_before(entry, best.front())) continue;
                    std::pop_heap(best.begin(), best.end(), ranks_before);
                    free_slots.push_back(best.back().slot);
                    best.pop_back();
                }
                if (free_slots.empty()) {
                    free_slots.push_back(kept_shares.size());
                    kept_shares.resize(kept_shares.size() + colours);
                }
                entry.slot = free_slots.back();
                free_slots.pop_back();
                std::copy(own, own + colours, kept_shares.begin() + static_cast<std::ptrdiff_t>(entry.slot));
                best.push_back(entry);
                std::push_heap(best.begin(), best.end(), ranks_before);
            }
            if (settled) break;
            bounded += count;
            if (give_up && bounded >= give_up_at) {
                const double standing = static_cast<std::int64_t>(best.size()) == limit
                                            ? std::max(min_share, best.front().least)
                                            : min_share;
                if (standing < give_up_times * allowed_all) return std::nullopt;
            }
            // What cannot enter the first `limit` now never will: the next batches choose among the rest only.
            if (static_cast<std::int64_t>(best.size()) == limit) {
                const double least = best.front().least;
                candidates.erase(
                    std::remove_if(candidates.begin() + static_cast<std::ptrdiff_t>(done), candidates.end(),
                                   [&](const auto& candidate) { return percent(candidate.first) < least; }),
                    candidates.end());
            }
        }
    }
    for (const Ranked& entry : best) {
        found.images.push_back(entry.image);
        found.shares.insert(found.shares.end(), kept_shares.begin() + static_cast<std::ptrdiff_t>(entry.slot),
                            kept_shares.begin() + static_cast<std::ptrdiff_t>(entry.slot + colours));
    }
    return found;
}

}  // namespace

Found threshold_search(const ThresholdIndex& index, const std::uint8_t* keep, const std::int64_t* ids,
                       const std::vector<Lab>& queries, double tolerance, double tail, double ratio, double min_share,
                       std::int64_t limit, int threads, Stop& stop) {
    LevelsFilled filled{};
    for (int level = 0; level < levels; ++level) {
        const std::uint32_t* end = index.posting_buckets + index.filled_buckets;
        const std::uint32_t* at =
            std::lower_bound(index.posting_buckets, end, static_cast<std::uint32_t>(level_start(level)));
        filled[level] = at != end && *at < level_start(level + 1);
    }
    if (queries.size() == 1 && limit <= first_limit)
        if (std::optional<Found> found = search_by(index, keep, ids, queries, tolerance, tail, ratio, min_share, limit,
                                                   threads, filled, first_spreads, true, stop))
            return std::move(*found);
    return *search_by(index, keep, ids, queries, tolerance, tail, ratio, min_share, limit, threads, filled,
                      bounded_spreads, false, stop);
}

void signature_shared(const std::int64_t* column_starts, std::int64_t vertices, const std::uint32_t* images,
                      const std::uint16_t* weights, const double* query, std::int64_t image_count, double* shared,
                      int threads, Stop& stop) {
    std::fill(shared, shared + image_count, 0.0);
    // Threads take parts of the images, so that each image's sum runs over the vertices in order.
    constexpr std::int64_t part = 1 << 16;
    const std::int64_t parts = (image_count + part - 1) / part;
    std::atomic<std::int64_t> next{0};
    run_on_threads(std::clamp<std::int64_t>(threads, 1, std::max<std::int64_t>(parts, 1)), stop, [&] {
        for (std::int64_t taken; (taken = next.fetch_add(1)) < parts;) {
            stop.poll();
            const std::uint32_t first = static_cast<std::uint32_t>(taken * part);
            const std::uint32_t last = static_cast<std::uint32_t>(std::min(image_count, (taken + 1) * part));
            for (std::int64_t vertex = 0; vertex < vertices; ++vertex) {
                const double weight = query[vertex];
                if (!(weight > 0.0)) continue;
                const std::uint32_t* begin = images + column_starts[vertex];
                const std::uint32_t* end = images + column_starts[vertex + 1];
                for (const std::uint32_t* entry = std::lower_bound(begin, end, first); entry != end && *entry < last;
                     ++entry)
                    shared[*entry] += std::min(static_cast<double>(weights[entry - images]) / 65535.0, weight);
            }
        }
    });
}

}  // namespace lq::kernels::colour
