// k-means++ as the library seeds one run (unit sample weights): each step draws a few thresholds
// below the current potential, takes as candidates the rows where the running sum of the squared
// distances (rows in their order) first reaches them, and keeps the candidate that lowers the
// potential most.
//
// Distances between 8-bit colours are integers, and so are all sums here: exact. The library's own
// floating-point values differ from them by far less than `boundary` (a few 1e-10 on multi-megapixel
// images), so a decision can differ only when a threshold lies that close to a running sum, or when
// two different candidates give the same potential; those runs are left undecided.
// See kmeans.txt: the library's steps this follows, and the undecided bands.
#include <algorithm>

#include "kernels/clones.hpp"
#include "kernels/kmeans/run.hpp"

namespace lq::kernels::kmeans {
namespace {

constexpr double boundary = 1e-6;

struct Colours {
    const std::uint8_t* a;
    const std::uint8_t* b;
    const std::uint8_t* c;
    const std::int32_t* weight;
    std::int32_t count;
};

// closest = distance to the centre; returns the potential.
LQ_CLONES std::int64_t start_distances(const Colours& colours, std::int32_t centre, std::int32_t* __restrict closest) {
    const std::uint8_t* __restrict a = colours.a;
    const std::uint8_t* __restrict b = colours.b;
    const std::uint8_t* __restrict c = colours.c;
    const std::int32_t* __restrict weight = colours.weight;
    const std::int32_t ca = a[centre], cb = b[centre], cc = c[centre];
    std::int64_t potential = 0;
    for (std::int32_t i = 0; i < colours.count; ++i) {
        const std::int32_t da = a[i] - ca, db = b[i] - cb, dc = c[i] - cc;
        const std::int32_t distance = da * da + db * db + dc * dc;
        closest[i] = distance;
        potential += static_cast<std::int64_t>(weight[i]) * distance;
    }
    return potential;
}

// The potential with each of `count` candidates added: sum of weight * min(closest, distance to it).
// Colours go a slice at a time, every candidate's sum over a slice while it is in the nearest cache, so
// that each colour is read from memory once.
LQ_CLONES void potentials_with(const Colours& colours, const std::int32_t* candidates, int count,
                               const std::int32_t* closest, std::int64_t* out) {
    constexpr std::int32_t slice = 2048;
    for (int t = 0; t < count; ++t) out[t] = 0;
    for (std::int32_t begin = 0; begin < colours.count; begin += slice) {
        const std::int32_t end = std::min(colours.count, begin + slice);
        for (int t = 0; t < count; ++t) {
            const std::int32_t candidate = candidates[t];
            const std::int32_t ca = colours.a[candidate], cb = colours.b[candidate], cc = colours.c[candidate];
            std::int64_t potential = 0;
            for (std::int32_t i = begin; i < end; ++i) {
                const std::int32_t da = colours.a[i] - ca, db = colours.b[i] - cb, dc = colours.c[i] - cc;
                potential +=
                    static_cast<std::int64_t>(colours.weight[i]) * std::min(closest[i], da * da + db * db + dc * dc);
            }
            out[t] += potential;
        }
    }
}

LQ_CLONES void add_centre(const Colours& colours, std::int32_t centre, std::int32_t* __restrict closest) {
    // Restricted copies: the stores to `closest` then cannot alias the channels, and the loop vectorises.
    const std::uint8_t* __restrict a = colours.a;
    const std::uint8_t* __restrict b = colours.b;
    const std::uint8_t* __restrict c = colours.c;
    const std::int32_t ca = a[centre], cb = b[centre], cc = c[centre];
    for (std::int32_t i = 0; i < colours.count; ++i) {
        const std::int32_t da = a[i] - ca, db = b[i] - cb, dc = c[i] - cc;
        closest[i] = std::min(closest[i], da * da + db * db + dc * dc);
    }
}

LQ_CLONES std::int64_t sum_block(const std::int32_t* __restrict colour, const std::int32_t* __restrict count,
                                 std::int64_t pairs, const std::int32_t* __restrict closest) {
    std::int64_t sum = 0;
    for (std::int64_t e = 0; e < pairs; ++e) sum += static_cast<std::int64_t>(count[e]) * closest[colour[e]];
    return sum;
}

struct Seeding {
    const Shared& shared;
    const Colours colours;
    LargeVector<std::int32_t>& closest;  // squared distance of each colour to its nearest centre
    std::int64_t potential = 0;
    // The running sum over the rows is found block by block, from whichever end of the rows is nearer a
    // threshold; a block's sum is taken once per step, when first needed: block_sum holds those of the
    // blocks before `forward` and from `backward` on.
    std::vector<std::int64_t> block_sum;
    std::size_t forward = 0, backward = 0;

    Seeding(const Shared& s, LargeVector<std::int32_t>& distances)
        : shared(s),
          colours{s.channel[0].data(), s.channel[1].data(), s.channel[2].data(), s.count.data(), s.d},
          closest(distances),
          block_sum(s.block_list.size()) {
        closest.resize(static_cast<std::size_t>(s.d));  // written whole by start()
    }

    void start(std::int32_t centre) { potential = start_distances(colours, centre, closest.data()); }

    // A new step: the distances changed, no block sum is known.
    void new_step() {
        forward = 0;
        backward = block_sum.size();
    }

    std::int64_t sum_of(std::size_t b) {
        const Block& block = shared.block_list[b];
        return block_sum[b] = sum_block(block.colour, block.count, block.pairs, closest.data());
    }

    // np.searchsorted(np.cumsum(closest over the rows), threshold): the colour of the first row whose
    // running sum reaches the threshold; -1 when that row is not certain.
    std::int32_t candidate(double threshold) {
        const std::size_t blocks = block_sum.size();
        // The first block whose running sum, through its end, reaches the threshold; the sum before it.
        std::size_t b = blocks;
        std::int64_t before = 0;
        if (threshold <= 0.5 * static_cast<double>(potential)) {
            std::int64_t sum = 0;
            for (std::size_t at = 0; at < blocks; ++at) {
                const std::int64_t block = at < forward ? block_sum[at] : sum_of(at);
                forward = std::max(forward, at + 1);
                if (static_cast<double>(sum + block) >= threshold) {
                    b = at;
                    before = sum;
                    break;
                }
                sum += block;
            }
        } else {
            // Through the end of block `at` the running sum is the potential less the blocks after it.
            std::int64_t after = 0;
            for (std::size_t at = blocks; at-- > 0;) {
                if (static_cast<double>(potential - after) < threshold) break;
                b = at;
                const std::int64_t block = at >= backward ? block_sum[at] : sum_of(at);
                backward = std::min(backward, at);
                after += block;
                before = potential - after;
            }
        }
        if (b == blocks) return -1;  // at the very end: only the library's rounding knows
        const std::int64_t end = std::min(shared.n, static_cast<std::int64_t>(b + 1) * shared.block_rows);
        for (std::int64_t i = static_cast<std::int64_t>(b) * shared.block_rows; i < end; ++i) {
            const std::int32_t index = shared.problem.row_colours[i];
            const std::int64_t after = before + closest[index];
            if (static_cast<double>(after) >= threshold) {
                const bool near = static_cast<double>(after) - threshold <= boundary ||
                                  (i > 0 && threshold - static_cast<double>(before) <= boundary);
                return near ? -1 : index;
            }
            before = after;
        }
        return -1;
    }

    void potentials(const std::vector<std::int32_t>& candidates, std::vector<std::int64_t>& out) const {
        potentials_with(colours, candidates.data(), static_cast<int>(candidates.size()), closest.data(), out.data());
    }

    void add(std::int32_t centre, std::int64_t new_potential) {
        add_centre(colours, centre, closest.data());
        potential = new_potential;
    }
};

}  // namespace

// In the table's order of colours, whose positions the rows hold.
Seeds seed(const Shared& shared, int run, LargeVector<std::int32_t>& closest, Stop& stop) {
    Seeds seeds;
    const double* draws = shared.draws.data() + run * shared.draws_per_run() + 1;
    seeds.colours.push_back(shared.problem.row_colours[shared.first_row[run]]);
    if (shared.k == 1) return seeds;
    Seeding seeding(shared, closest);
    seeding.start(seeds.colours[0]);
    std::vector<std::int32_t> candidates(static_cast<std::size_t>(shared.trials));
    std::vector<std::int32_t> distinct;
    std::vector<std::int64_t> potential;
    for (int step = 1; step < shared.k; ++step) {
        stop.poll();
        seeding.new_step();
        const double current = static_cast<double>(seeding.potential);
        for (int t = 0; t < shared.trials; ++t) {
            candidates[t] = seeding.candidate(draws[t] * current);
            if (candidates[t] < 0) {
                seeds.undecided = library::Reason::seeding_boundary;
                return seeds;
            }
        }
        draws += shared.trials;
        distinct = candidates;
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        potential.assign(distinct.size(), 0);
        stop.poll();
        seeding.potentials(distinct, potential);
        auto potential_of = [&](std::int32_t colour) {
            return potential[std::lower_bound(distinct.begin(), distinct.end(), colour) - distinct.begin()];
        };
        // np.argmin: the first candidate of least potential.
        int best = 0;
        for (int t = 1; t < shared.trials; ++t)
            if (potential_of(candidates[t]) < potential_of(candidates[best])) best = t;
        const std::int64_t least = potential_of(candidates[best]);
        for (std::size_t i = 0; i < distinct.size(); ++i)
            if (distinct[i] != candidates[best] && potential[i] == least) {
                seeds.undecided = library::Reason::seeding_tie;
                return seeds;
            }
        stop.poll();
        seeding.add(candidates[best], least);
        seeds.colours.push_back(candidates[best]);
    }
    return seeds;
}

}  // namespace lq::kernels::kmeans
