// One run of the fit (its k-means++ seeding and its Lloyd iterations) and what all ten runs share.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "kernels/colour_table.hpp"
#include "kernels/kmeans/kmeans.hpp"

namespace lq::kernels::kmeans {

inline constexpr int max_iterations = library::max_iterations;

// A cell of the colour octree (cell_tree.cpp): a box of colour space and the colours in it.
struct Cell {
    std::int64_t weight = 0;            // rows
    std::array<std::int64_t, 3> sum{};  // their values, channel by channel
    std::int32_t begin = 0, end = 0;    // the colours, as indices in the runs' order
    std::int32_t first_child = -1;      // children are consecutive; -1 for a leaf
    std::int32_t children = 0;
    std::array<std::uint8_t, 3> low{}, high{};  // the bounding box of its colours, inclusive
};

// A block's (colour, count) pairs, colours in the table's order, so that the seeding's sums over them
// read the colours' distances in order.
struct Block {
    const std::int32_t* colour;
    const std::int32_t* count;
    std::int64_t pairs;
};

// The pairs of consecutive blocks, in buffers filled in turn, a block never split between two: a part
// grows without copying what it holds, and a large buffer faults in a huge page at a time rather than
// in thousands of small ones.
class BlockPart {
public:
    struct Room {
        std::int32_t* colour;
        std::int32_t* count;
    };
    // Room for a block of `pairs` pairs, in a buffer of at least `fresh` pairs when the last one lacks
    // room. Throws std::bad_alloc.
    Room add(std::size_t pairs, std::size_t fresh);
    const std::vector<Block>& blocks() const noexcept { return blocks_; }

private:
    struct Buffer {
        std::unique_ptr<std::int32_t[], FreeMemory> memory;  // `capacity` colours, then as many counts
        std::size_t capacity = 0, used = 0;
    };
    std::vector<Buffer> buffers_;
    std::vector<Block> blocks_;
};

// Computed once per fit, read by every run.
struct Shared {
    const Problem problem;
    int k = 0;
    int trials = 0;  // candidates per k-means++ step: 2 + int(log(k))
    std::int64_t n = 0;
    std::int32_t d = 0;  // distinct colours
    // The runs see the colours in an order of their own (by Morton code), in which every cell of the
    // octree is a run of consecutive colours. index -> colour (the table's position), and back.
    LargeVector<std::int32_t> colour_of;
    LargeVector<std::int32_t> index_of;
    std::array<double, 3> mean{};
    double tol = 0;
    // Per colour, in the runs' order:
    LargeVector<double> xa, xb, xc;    // minus the mean, channel by channel, as the library centres them
    LargeVector<std::int32_t> weight;  // rows
    // The colours' values, channel by channel: labelling a leaf reads them in order rather than scattered
    // over the table's order.
    std::array<LargeVector<std::uint8_t>, 3> value;
    // Per colour, in the table's order (the seeding's, as the rows name colours by it):
    LargeVector<std::int32_t> count;                   // rows
    std::array<LargeVector<std::uint8_t>, 3> channel;  // the colours' values, channel by channel
    // The colours in an octree of colour space: in the runs' order every cell's colours are consecutive.
    // An E-step labels a cell that lies wholly on one side of every bisector as one, without looking at
    // its colours, and adds its rows to the cluster sums at once.
    LargeVector<Cell> cells;                     // cells[0] holds every colour
    std::vector<double> draws;                   // the random_sample() values of all runs, in stream order
    std::array<std::int64_t, runs> first_row{};  // each run's first centre, chosen among the rows
    std::int32_t index_of_row(std::int64_t row) const { return index_of[problem.row_colours[row]]; }
    // Rows in blocks, each block as (colour, count) pairs: a running sum over the rows in their order
    // is found block by block without visiting every row.
    // A step costs a pass over the blocks' pairs and a walk through the rows of a block or two: blocks
    // of about 8 sqrt(n) rows, a power of two from 2^12 to 2^16 (block_rows_for), keep both small
    // (measured on photos).
    std::int64_t block_rows = 1 << 16;
    std::int64_t blocks = 0;
    std::vector<BlockPart> block_parts;  // built side by side
    bool blocks_made = false;            // block_parts are the blocks ahead, complete
    std::vector<Block> block_list;       // every block, in row order, pointing into block_parts
    // What the runs share but the blocks and the octree, which the fit builds on its threads (Fit::seed).
    explicit Shared(const Problem& p);
    // The blocks of one part of the rows, into block_parts[part].
    void build_part(std::size_t part, Stop& stop);
    // block_list, once every part is built.
    void list_blocks();
    // The runs' order of the colours, their centred values in it and the octree.
    void order_runs(Stop& stop);
    std::size_t draws_per_run() const { return 1 + static_cast<std::size_t>(k - 1) * static_cast<std::size_t>(trials); }
};

// np.add.reduce of a float64 vector (np.sum, ndarray.sum, np.mean's sum over one axis): NumPy's
// DOUBLE_pairwise_sum added to the identity 0.0. Relied on bit for bit (centre shifts against the
// tolerance, the tolerance itself); checked against np.add.reduce by the kernels' own tests.
double numpy_sum(const double* values, std::int64_t count) noexcept;

// RandomState.choice(n, p=w / w.sum()) with unit weights, for `count` draws of random_sample(): the first
// index whose entry of p.cumsum() / p.cumsum()[-1] lies above the draw (searchsorted, side 'right'),
// found by walking the running sum in runs of equal steps instead of making it. Relied on bit for bit (the
// first centre of each run); checked against NumPy's own cumsum and searchsorted.
void first_rows(std::int64_t n, const double* draws, int count, std::int64_t* rows);

struct Seeds {
    std::optional<library::Reason> undecided;
    std::vector<std::int32_t> colours;  // the colour (its index) of each initial centre
};

// The octree of the colours, from their Morton codes in the runs' order (ascending).
LargeVector<Cell> cell_tree(const Shared& shared, const LargeVector<std::uint32_t>& codes);

// The run's k-means++ seeding, its seeds as colours in the table's order (index_of gives the runs').
// `closest` is its buffer of a distance per colour, which a thread keeps from one run to the next rather
// than fault in fresh pages for each.
Seeds seed(const Shared& shared, int run, LargeVector<std::int32_t>& closest, Stop& stop);

struct Run {
    std::optional<library::Reason> undecided;
    std::vector<double> centres;     // centred
    std::int32_t* labels = nullptr;  // by colour index, d of them, in the fit's memory
    double inertia = 0;
};

// The run's iterations from its seeds, its labels written to `labels` (d of them): the fit keeps every
// run's labels in one buffer, which faults in a few huge pages rather than thousands of small ones.
Run lloyd(const Shared& shared, const std::vector<std::int32_t>& seeds, std::int32_t* labels, Stop& stop);

}  // namespace lq::kernels::kmeans
