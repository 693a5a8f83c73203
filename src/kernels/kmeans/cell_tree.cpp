// The colour octree the Lloyd iterations label whole cells of. In the runs' order the colours are sorted
// by their Morton code, so the colours of a cube of 2^L values per channel (a cell at level L) are those
// whose codes agree above their lowest 3L bits: a run of consecutive colours, found by binary search. A
// cell with a single non-empty child is left out (the child stands in for it) and a cell of a few colours
// is a leaf. Each cell keeps the bounding box of its colours, which is all the E-step looks at, and their
// rows and sums, which is all the M-step needs of a cell labelled whole.
#include <algorithm>

#include "kernels/kmeans/run.hpp"

namespace lq::kernels::kmeans {
namespace {

// Leaves hold at most this many colours: below it, testing a cell costs about what labelling its
// colours does.
constexpr std::int32_t leaf_colours = 16;

struct Builder {
    const Shared& shared;
    const LargeVector<std::uint32_t>& codes;
    LargeVector<Cell> cells;

    // The children of colours [begin, end), whose codes agree above bit 3 * level, split by the next three
    // bits: their bounds into `bounds`, their number returned.
    int split(std::int32_t begin, std::int32_t end, int level, std::array<std::int32_t, 9>& bounds) const {
        const int shift = 3 * (level - 1);
        const std::uint32_t prefix = codes[begin] >> (shift + 3) << (shift + 3);
        int parts = 0;
        bounds[0] = begin;
        for (std::uint32_t digit = 1; digit <= 8; ++digit) {
            const std::int32_t bound =
                digit == 8 ? end
                           : static_cast<std::int32_t>(
                                 std::lower_bound(codes.begin() + begin, codes.begin() + end, prefix | digit << shift) -
                                 codes.begin());
            if (bound > bounds[parts]) bounds[++parts] = bound;
        }
        return parts;
    }

    void fill(std::size_t at, std::int32_t begin, std::int32_t end, int level) {
        std::array<std::int32_t, 9> bounds{};
        int parts = 1;
        // Distinct colours have distinct codes: at level 1 at the latest, more than one colour splits.
        for (; end - begin > leaf_colours; --level)
            if ((parts = split(begin, end, level, bounds)) > 1) break;
        cells[at].begin = begin;
        cells[at].end = end;
        if (end - begin <= leaf_colours) {
            leaf(cells[at]);
            return;
        }
        const auto first = cells.size();
        cells[at].first_child = static_cast<std::int32_t>(first);
        cells[at].children = parts;
        cells.resize(first + static_cast<std::size_t>(parts));
        for (int part = 0; part < parts; ++part) fill(first + part, bounds[part], bounds[part + 1], level - 1);
        Cell& cell = cells[at];
        cell.low = cells[first].low;
        cell.high = cells[first].high;
        for (int part = 0; part < parts; ++part) {
            const Cell& child = cells[first + part];
            cell.weight += child.weight;
            for (int f = 0; f < 3; ++f) {
                cell.sum[f] += child.sum[f];
                cell.low[f] = std::min(cell.low[f], child.low[f]);
                cell.high[f] = std::max(cell.high[f], child.high[f]);
            }
        }
    }

    void leaf(Cell& cell) const {
        cell.low = {255, 255, 255};
        cell.high = {0, 0, 0};
        for (std::int32_t i = cell.begin; i < cell.end; ++i) {
            const std::int64_t count = shared.weight[i];
            cell.weight += count;
            for (int f = 0; f < 3; ++f) {
                const std::uint8_t value = shared.value[f][i];
                cell.sum[f] += count * value;
                cell.low[f] = std::min(cell.low[f], value);
                cell.high[f] = std::max(cell.high[f], value);
            }
        }
    }
};

}  // namespace

LargeVector<Cell> cell_tree(const Shared& shared, const LargeVector<std::uint32_t>& codes) {
    Builder builder{shared, codes, LargeVector<Cell>(1)};
    // Photos make about one cell for every five colours: room for that many is made once, rather than
    // copied and faulted in afresh at every doubling.
    builder.cells.reserve(static_cast<std::size_t>(shared.d) / 4 + 64);
    builder.fill(0, 0, shared.d, 8);
    return std::move(builder.cells);
}

}  // namespace lq::kernels::kmeans
