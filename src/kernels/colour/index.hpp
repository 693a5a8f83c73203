// The colour index: every stored record of every image, bucketed by reach level and by a grid over
// CIELAB, so that a colour search reads only the buckets that can hold records within reach of the
// query, and evaluates the distribution estimator on those (distribution.Distributions.parts).
//
// A record counts for a query only within CIEDE2000 `reach` of it: the tolerance plus tail * ratio times
// its widest spread. Level 0 holds records without spread (reach: the tolerance), level k in 1..13 those
// whose extra reach is at most 2^((k-1)/2), level 14 the rest: steps of root 2, so that a level's greatest
// spread, which bounds what its records may count (index.cpp's allowances), is near each record's own. A
// query bounds CIEDE2000 from below over every cell of the grid (DifferenceFloor) and reads, per level, the
// records of the cells whose bound is within the level's greatest reach.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/colour/ciede2000.hpp"
#include "kernels/stop.hpp"

namespace lq::kernels::colour {

// A distribution record as stored: lab 3 x half, weight u16, spread codes 3 x u8 (little-endian).
inline constexpr std::size_t record_bytes = 11;
// An index row: the record, then the image's position in the index's table (u32).
inline constexpr std::size_t row_bytes = 15;

inline constexpr int levels = 15;
inline constexpr double cell_size = 4.0;                        // along L, and a and b on the coarse grid
inline constexpr int cells_l = 26, cells_a = 64, cells_b = 64;  // L from 0, a and b from -128
inline constexpr double low_l = 0.0, low_ab = -128.0;
// The levels below fine_levels file their records in a-b squares half as wide: a 4-unit square's floor
// lies up to several units below its records, so that its posting lists let an image's records count far
// more than they can, and the slowest colours bound hundreds of thousands of images record by record. The
// last levels, of the widest spreads and balls but few records, keep 4-unit squares: the floors of 2-unit
// squares over their balls would cost more than they save.
inline constexpr int fine_levels = 12;
inline constexpr int fine_squares = 2 * cells_a;  // a side
inline constexpr bool fine_level(int level) noexcept { return level < fine_levels; }
inline constexpr int squares_of(int level) noexcept { return fine_level(level) ? fine_squares : cells_a; }
inline constexpr double square_size_of(int level) noexcept { return fine_level(level) ? cell_size / 2 : cell_size; }
inline constexpr std::int64_t cells_of(int level) noexcept {
    return static_cast<std::int64_t>(cells_l) * squares_of(level) * squares_of(level);
}
// The first bucket of a level (of `levels`: the number of buckets).
inline constexpr std::int64_t level_start(int level) noexcept {
    return level <= fine_levels ? level * cells_of(0)
                                : fine_levels * cells_of(0) + (level - fine_levels) * cells_of(fine_levels);
}
inline constexpr std::int64_t bucket_count = level_start(levels);

// Bucket starts (bucket_count + 1 entries) and rows (row_bytes each) of the records of `images` images,
// those of image i being records starts[i]:starts[i + 1]. Within a bucket rows keep image order.
void build_index(const std::uint8_t* records, const std::int64_t* starts, std::int64_t images, double tail_ratio,
                 std::int64_t* bucket_starts, std::uint8_t* rows, Stop& stop);

// Per level, the cells a query reads: least (L, a, b) cell, then greatest (a and b on the level's own
// squares); greatest L below least when the level is empty (bucket_starts: any array of bucket_count + 1
// starts over the buckets).
using CellRanges = std::array<std::int32_t, levels * 6>;
CellRanges query_cells(const std::int64_t* bucket_starts, const Lab& query, double tolerance);
// Per level, whether any record lies in it.
using LevelsFilled = std::array<bool, levels>;

// Lower bounds of the squared CIEDE2000 difference from a colour to the points of each cell of the grid:
// the bound of cell (l, a, b) of a level is lightness[l] + the square's, chromatic[a * cells_b + b] on the
// coarse grid, fine[a * fine_squares + b] on the fine one. The first and last slabs also bound the
// lightness beyond the grid (|dL| / S_L grows with |dL| from a colour of lightness 0 to 100); a and b
// beyond the grid's, which no sRGB colour has, are not bounded. Squares whose bound exceeds reach^2 are
// left infinite, ruled out in blocks rather than bounded one by one; fine squares beyond fine_radius take
// their coarse square's bound.
struct CellFloors {
    std::array<double, cells_l> lightness;
    std::vector<double> chromatic, fine;
    double least_lightness, least_chromatic;
    double square(int level, int a, int b) const noexcept {
        return fine_level(level) ? fine[static_cast<std::size_t>(a * fine_squares + b)]
                                 : chromatic[static_cast<std::size_t>(a * cells_b + b)];
    }
    double squared(int level, int l, int a, int b) const noexcept {
        return lightness[static_cast<std::size_t>(l)] + square(level, a, b);
    }
};
CellFloors cell_floors(const Lab& query, double reach);
// The same, the squares bounded on `threads` threads, the fine ones within fine_radius.
CellFloors cell_floors(const Lab& query, double reach, double fine_radius, int threads, Stop& stop);
// Per level, the cells whose bound is within radii[level] (infinite: every cell); none in an empty level.
CellRanges cells_within(const LevelsFilled& filled, const CellFloors& floors, const double* radii);

// The index the threshold search reads, for the records of `images` images (those of image i being records
// starts[i]:starts[i + 1]):
// - image_rows: each image's records at starts[i]:starts[i + 1] again, in bucket order (records of one
//   bucket in their own order), each followed by its bucket (u32), row_bytes each: an image's share sums
//   them in the order the bucket traversal of colour_shares adds them;
// - postings: the images with records in each bucket and their summed weight (their mass), in blocks of
//   block_images images: a search adds every list it reads into a bound per image a block at a time, so
//   that the block's bounds stay in the processor's cache while the lists add to them. Only the buckets
//   holding records are listed (buckets, ascending); entries starts[block * buckets.size() + k] to the
//   next start are those of the block in the k-th of them, images ascending, each the image's offset in
//   its block (low 16 bits) and its mass (high 16 bits; mass_whole: at least that, bounded by the image's
//   whole weight instead).
inline constexpr int block_bits = 16;
inline constexpr std::int64_t block_images = std::int64_t{1} << block_bits;
inline constexpr std::uint32_t mass_whole = 0xFFFF;
struct Postings {
    std::vector<std::uint32_t> buckets;
    std::vector<std::int64_t> starts;
    std::vector<std::uint32_t> entries;
};
Postings build_postings(const std::uint8_t* records, const std::int64_t* starts, std::int64_t images, double tail_ratio,
                        std::uint8_t* image_rows, Stop& stop);

struct ThresholdIndex {
    const std::int64_t* image_starts;  // images + 1
    const std::uint8_t* image_rows;
    std::int64_t images;
    const std::uint32_t* posting_buckets;  // ascending, each below bucket_count
    std::int64_t filled_buckets;
    const std::int64_t* posting_starts;  // blocks * filled_buckets + 1, from 0 to entry_count
    const std::uint32_t* posting_entries;
    std::int64_t entry_count;
    const std::uint64_t* image_weights;  // each image's records' weights summed
};

struct Found {
    std::vector<std::uint32_t> images;  // the first `limit` by the ranking, in no particular order
    std::vector<double> shares;         // per image, per query colour, as colour_shares gives them
    bool bad_entry = false;             // a posting or row named an image or bucket beyond the index
};

// The images of `keep` (nullptr: all) in which every query colour covers at least `min_share` percent
// (and some pixels), the first `limit` by the least share, then the sum of the shares, then ids[image]:
// the answer of ranking colour_shares of every image. Each image's share is bounded by its masses in the
// posting lists of the cells read, each cell's mass by the part a record of its level can hold at the
// cell's distance from the colour (the allowances of index.cpp); images are evaluated exactly from their own
// rows by bound, heaviest first, until the least share of the last of the first `limit` lies above every
// bound left. The same answer for any number of threads, and whatever the cells' bounds allow (a search
// for one colour may begin with looser ones, and begin again).
Found threshold_search(const ThresholdIndex& index, const std::uint8_t* keep, const std::int64_t* ids,
                       const std::vector<Lab>& queries, double tolerance, double tail, double ratio, double min_share,
                       std::int64_t limit, int threads, Stop& stop);

struct Shares {
    std::vector<std::uint32_t> images;  // ascending
    std::vector<double> shares;         // percent of each image's pixels within the tolerance
    bool bad_row = false;               // a row named an image beyond the table
};

// Per image with some share, the percent of its pixels within CIEDE2000 `tolerance` of `query`, as
// Distributions.shares gives it. The sums run in bucket order whatever the number of threads.
Shares colour_shares(const std::int64_t* bucket_starts, const std::uint8_t* rows, std::int64_t images, const Lab& query,
                     double tolerance, double tail, double ratio, int threads, Stop& stop);

// similar's intersection: per image the sum over the query's vertices of the lesser of the two weights
// (weights / 65535), vertex by vertex in order, as finding.Table.distances sums them. Column v holds
// entries column_starts[v]:column_starts[v + 1] of (image, weight), images ascending.
void signature_shared(const std::int64_t* column_starts, std::int64_t vertices, const std::uint32_t* images,
                      const std::uint16_t* weights, const double* query, std::int64_t image_count, double* shared,
                      int threads, Stop& stop);

}  // namespace lq::kernels::colour
