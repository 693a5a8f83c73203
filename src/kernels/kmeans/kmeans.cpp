#include "kernels/kmeans/kmeans.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "kernels/clones.hpp"
#include "kernels/kmeans/legacy_random.hpp"
#include "kernels/kmeans/run.hpp"
#include "kernels/threads.hpp"

namespace lq::kernels::kmeans {
namespace {

// np.var(X, axis=0) for each channel, exactly (the library sums rounded squares of rounded deviations
// row by row; its value is within (n + 3) roundings of this one, which the tolerance test allows for).
// n * sum(x^2) reaches 2^31 * 2^31 * 255^2: 128-bit integers (a GCC extension on 64-bit targets).
__extension__ typedef __int128 wide;

// From each channel's sum of values and of their squares over the rows (below 2^31 * 255^2: 64 bits).
std::array<double, 3> variances(const std::array<std::int64_t, 3>& sum, const std::array<std::int64_t, 3>& squares,
                                std::int64_t rows) {
    const auto n = static_cast<wide>(rows);
    std::array<double, 3> variance{};
    for (int f = 0; f < 3; ++f)  // (n sum x^2 - (sum x)^2) / n^2, the numerator exact
        variance[f] =
            static_cast<double>(static_cast<long double>(n * squares[f] - static_cast<wide>(sum[f]) * sum[f]) /
                                (static_cast<long double>(n) * static_cast<long double>(n)));
    return variance;
}

// The running sum c_0 = p, c_i = fl(c_{i-1} + p) of NumPy's p.cumsum(), for i < n, handed to
// `visit(first, value, step, count)` in runs whose values are value + t * step exactly (t < count). Within
// one binade every addition of p adds the same number of units of the binade (unless p is exactly
// halfway between two, where rounding to even alternates), so a run costs one call however long.
template <class Visit>
void walk_cumsum(double p, std::int64_t n, Visit visit) {
    std::int64_t i = 0;
    double c = p;
    while (true) {
        const int exponent = std::ilogb(c);
        const double unit = std::ldexp(1.0, exponent - 52), top = std::ldexp(1.0, exponent + 1);
        const double ratio = p / unit, whole = std::floor(ratio);
        std::int64_t more = 0;
        double step = 0;
        if (ratio - whole != 0.5) {
            step = (ratio - whole > 0.5 ? whole + 1 : whole) * unit;
            more = std::max<std::int64_t>(0, static_cast<std::int64_t>((top - c) / step) - 2);
            more = std::min(more, n - 1 - i);
        }
        visit(i, c, step, more + 1);
        i += more;
        c += static_cast<double>(more) * step;
        if (++i >= n) return;
        c += p;
    }
}

// Stable sort of `items` by a key below 2^24: least significant digit first, two passes of 12 bits.
template <class Items, class Key>
void sort_by_24_bits(Items& items, Items& scratch, Key key) {
    scratch.resize(items.size());
    for (int shift = 0; shift < 24; shift += 12) {
        std::array<std::int32_t, (1 << 12) + 1> start{};
        for (std::int32_t item : items) ++start[((key(item) >> shift) & 0xfff) + 1];
        for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
        for (std::int32_t item : items) scratch[start[(key(item) >> shift) & 0xfff]++] = item;
        items.swap(scratch);
    }
}

// Colours by their Morton code: bits of the three channels interleaved, so that colours near each
// other in colour space mostly are near each other in the order, and every cell of the colour octree is
// a run of consecutive colours. Returns the codes in that order.
LargeVector<std::uint32_t> order_colours(Shared& shared) {
    // Each 8-bit value with its bits spread three apart.
    std::array<std::uint32_t, 256> spread{};
    for (std::uint32_t value = 0; value < 256; ++value)
        for (int bit = 0; bit < 8; ++bit) spread[value] |= ((value >> bit) & 1u) << (3 * bit);
    const auto& colours = shared.problem.colours.colours();
    const auto count = static_cast<std::size_t>(shared.d);
    LargeVector<std::uint32_t> code(count);
    for (std::size_t c = 0; c < count; ++c)
        code[c] = spread[colours[c][0]] << 2 | spread[colours[c][1]] << 1 | spread[colours[c][2]];
    LargeVector<std::int32_t> order(count), scratch;
    for (std::size_t c = 0; c < count; ++c) order[c] = static_cast<std::int32_t>(c);
    sort_by_24_bits(order, scratch, [&](std::int32_t c) { return code[c]; });
    shared.colour_of = std::move(order);
    shared.index_of.resize(count);
    LargeVector<std::uint32_t> sorted(count);
    for (std::size_t i = 0; i < count; ++i) {
        shared.index_of[shared.colour_of[i]] = static_cast<std::int32_t>(i);
        sorted[i] = code[shared.colour_of[i]];
    }
    return sorted;
}

// Blocks from `begin` of `rows` (positions by row): counts per colour in `count`, grown as colours appear and
// left zero, and the pairs of each block added to `part`.
void add_blocks(const std::int32_t* rows, std::int64_t begin, std::int64_t end, std::int64_t block_rows,
                std::int64_t rows_left, LargeVector<std::int32_t>& count, std::vector<std::int32_t>& touched,
                std::vector<std::int32_t>& sorted, BlockPart& part) {
    for (std::int64_t first = begin; first < end; first += block_rows) {
        const std::int64_t last = std::min(end, first + block_rows);
        touched.clear();
        for (std::int64_t i = first; i < last; ++i) {
            const std::int32_t colour = rows[i];
            if (static_cast<std::size_t>(colour) >= count.size()) [[unlikely]]
                count.resize(std::max(static_cast<std::size_t>(colour) + 1, 2 * count.size()), 0);
            if (count[colour]++ == 0) touched.push_back(colour);
        }
        sort_by_24_bits(touched, sorted,
                        [](std::int32_t c) { return static_cast<std::uint32_t>(c); });  // colours < 2^24
        // A fresh buffer holds the remaining rows' pairs, up to a few huge pages' worth.
        const BlockPart::Room room = part.add(
            touched.size(), std::min(static_cast<std::size_t>(rows_left - (first - begin)), std::size_t{1} << 19));
        for (std::size_t e = 0; e < touched.size(); ++e) {
            room.colour[e] = touched[e];
            room.count[e] = count[touched[e]];
            count[touched[e]] = 0;
        }
    }
}

void build_blocks(const Shared& shared, std::int64_t first, std::int64_t end, BlockPart& part, Stop& stop) {
    LargeVector<std::int32_t> count(static_cast<std::size_t>(shared.d), 0);
    std::vector<std::int32_t> touched, sorted;
    const std::int64_t last_row = std::min(shared.n, end * shared.block_rows);
    for (std::int64_t block = first; block < end; ++block) {
        stop.poll();
        const std::int64_t begin = block * shared.block_rows;
        add_blocks(shared.problem.row_colours.data(), begin, std::min(shared.n, begin + shared.block_rows),
                   shared.block_rows, last_row - begin, count, touched, sorted, part);
    }
}

// labels1 maps onto labels2 label for label (the library's _is_same_clustering).
bool same_clustering(const std::int32_t* labels1, const std::int32_t* labels2, std::int32_t count, int k) {
    std::vector<std::int32_t> mapping(static_cast<std::size_t>(k), -1);
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t& to = mapping[labels1[i]];
        if (to == -1) to = labels2[i];
        else if (to != labels2[i]) return false;
    }
    return true;
}

}  // namespace

struct BlocksAhead::Made {
    std::int64_t most_rows = 0;
    std::int64_t block_rows = 0;
    BlockPart part;
    std::int64_t rows = 0;  // counted by the pass, once it completed
    bool complete = false;
};

Shared::Shared(const Problem& p) : problem(p), k(p.n_clusters), n(p.colours.rows()), d(p.colours.count()) {
    trials = 2 + static_cast<int>(std::log(static_cast<double>(k)));
    const auto& colours = p.colours.colours();
    const auto& weights = p.colours.weights();
    count.resize(static_cast<std::size_t>(d));
    for (int f = 0; f < 3; ++f) channel[f].resize(static_cast<std::size_t>(d));
    // X.mean(axis=0) and np.var(X, axis=0) from sums of integers, exact.
    std::array<std::int64_t, 3> sums{}, squares{};
    for (std::int32_t c = 0; c < d; ++c) {
        const std::int64_t w = weights[c];
        count[c] = static_cast<std::int32_t>(w);
        for (int f = 0; f < 3; ++f) {
            const std::uint8_t value = colours[c][f];
            channel[f][c] = value;
            sums[f] += w * value;
            squares[f] += w * value * value;
        }
    }
    for (int f = 0; f < 3; ++f) mean[f] = static_cast<double>(sums[f]) / static_cast<double>(n);
    const std::array<double, 3> variance = variances(sums, squares, n);  // np.mean(np.var(X, axis=0)) * tol
    tol = numpy_sum(variance.data(), 3) / 3 * library::relative_tolerance;
    LegacyRandom random(library::seed);
    draws.resize(runs * draws_per_run());
    for (double& draw : draws) draw = random.random_sample();
    std::array<double, runs> first_draws{};
    for (int run = 0; run < runs; ++run) first_draws[run] = draws[run * draws_per_run()];
    first_rows(n, first_draws.data(), runs, first_row.data());
    block_rows = block_rows_for(n);
    // None with one centre, which has no seeding steps.
    blocks = k == 1 ? 0 : (n + block_rows - 1) / block_rows;
    block_parts.resize(static_cast<std::size_t>(std::min<std::int64_t>(blocks, 2 * std::max(p.workers, 1))));
    if (BlocksAhead* ahead = p.blocks_ahead; ahead && blocks > 0) {
        BlocksAhead::Made& made = *ahead->made_;
        if (made.complete && made.rows == n && made.block_rows == block_rows &&
            static_cast<std::int64_t>(made.part.blocks().size()) == blocks) {
            block_parts.clear();
            block_parts.push_back(std::move(made.part));
            blocks_made = true;
        }
    }
}

BlocksAhead::BlocksAhead(std::int64_t rows) : made_(std::make_unique<Made>()) {
    made_->most_rows = rows;
    made_->block_rows = block_rows_for(rows);
}

BlocksAhead::~BlocksAhead() = default;

void BlocksAhead::follow(const PassProgress& progress) {
    Made& made = *made_;
    LargeVector<std::int32_t> count;
    std::vector<std::int32_t> touched, sorted;
    for (std::int64_t begin = 0;;) {
        const std::int64_t wanted = begin + made.block_rows;
        const std::int64_t written = progress.wait_for(wanted);
        if (written < wanted && !progress.complete()) return;  // the pass failed
        const std::int64_t end = std::min(written, wanted);
        if (end > begin)
            add_blocks(progress.positions(), begin, end, made.block_rows, made.most_rows - begin, count, touched,
                       sorted, made.part);
        begin = end;
        if (written < wanted) {  // the pass's last rows
            made.rows = begin;
            made.complete = true;
            return;
        }
    }
}

void Shared::build_part(std::size_t part, Stop& stop) {
    const auto parts = static_cast<std::int64_t>(block_parts.size());
    const auto at = static_cast<std::int64_t>(part);
    build_blocks(*this, blocks * at / parts, blocks * (at + 1) / parts, block_parts[part], stop);
}

BlockPart::Room BlockPart::add(std::size_t pairs, std::size_t fresh) {
    if (buffers_.empty() || buffers_.back().capacity - buffers_.back().used < pairs) {
        const std::size_t capacity = std::max(pairs, fresh);
        buffers_.emplace_back();
        buffers_.back().memory.reset(static_cast<std::int32_t*>(large_buffer(2 * capacity * sizeof(std::int32_t))));
        buffers_.back().capacity = capacity;
    }
    Buffer& buffer = buffers_.back();
    std::int32_t* colour = buffer.memory.get() + buffer.used;
    buffer.used += pairs;
    std::int32_t* count = colour + buffer.capacity;
    blocks_.push_back({colour, count, static_cast<std::int64_t>(pairs)});
    return {colour, count};
}

void Shared::list_blocks() {
    block_list.reserve(static_cast<std::size_t>(blocks));
    for (const BlockPart& part : block_parts)
        block_list.insert(block_list.end(), part.blocks().begin(), part.blocks().end());
}

void Shared::order_runs(Stop& stop) {
    const auto& colours = problem.colours.colours();
    const LargeVector<std::uint32_t> codes = order_colours(*this);
    stop.poll();  // each step takes tens of milliseconds with millions of colours
    for (auto* values : {&xa, &xb, &xc}) values->resize(static_cast<std::size_t>(d));
    for (auto& values : value) values.resize(static_cast<std::size_t>(d));
    weight.resize(static_cast<std::size_t>(d));
    for (std::int32_t i = 0; i < d; ++i) {
        const std::int32_t c = colour_of[i];
        weight[i] = count[c];
        for (int f = 0; f < 3; ++f) value[f][i] = colours[c][f];
        xa[i] = colours[c][0] - mean[0];
        xb[i] = colours[c][1] - mean[1];
        xc[i] = colours[c][2] - mean[2];
    }
    stop.poll();
    cells = cell_tree(*this, codes);
}

void label_rows(const std::vector<std::int32_t>& labels, const RowColours& row_colours, std::int32_t* out, int workers,
                Stop& stop) {
    constexpr std::size_t piece = std::size_t{1} << 20;  // rows between polls
    const std::size_t rows = row_colours.size();
    std::atomic<std::size_t> next{0};
    run_on_threads(std::clamp<int>(workers, 1, static_cast<int>(std::min<std::size_t>(rows / piece + 1, 64))), stop,
                   [&] {
        for (std::size_t begin; (begin = next.fetch_add(piece)) < rows;) {
            stop.poll();
            const std::size_t end = std::min(rows, begin + piece);
            for (std::size_t i = begin; i < end; ++i) out[i] = labels[row_colours[i]];
        }
    });
}

std::int64_t block_rows_for(std::int64_t rows) {
    return std::clamp<std::int64_t>(
        static_cast<std::int64_t>(std::bit_ceil(static_cast<std::uint64_t>(8 * std::sqrt(static_cast<double>(rows))))),
        std::int64_t{1} << 12, std::int64_t{1} << 16);
}

// With FMA instructions where the processor has them, else the library's exact fma().
LQ_FMA_CLONES void fused_distances(const double* rows, int count, const double* centres, const double* centre_norms,
                                   int k, double* out) noexcept {
    for (int r = 0; r < count; ++r) {
        const double* x = rows + 3 * r;
        for (int j = 0; j < k; ++j)
            out[static_cast<std::size_t>(r) * k + j] = fused_value(x[0], x[1], x[2], centres + 3 * j, centre_norms[j]);
    }
}

void dgemm_values(Dgemm dgemm, const double* rows, int count, const double* centres, const double* centre_norms, int k,
                  double* out) {
    for (int r = 0; r < count; ++r)
        for (int j = 0; j < k; ++j) out[static_cast<std::size_t>(r) * k + j] = centre_norms[j];
    char trans = 't', no_trans = 'n';
    int m = k, n = count, features = 3, ldc = k;
    double alpha = -2.0, beta = 1.0;
    dgemm(&trans, &no_trans, &m, &n, &features, &alpha, const_cast<double*>(centres), &features,
          const_cast<double*>(rows), &features, &beta, out, &ldc);
}

void first_rows(std::int64_t n, const double* draws, int count, std::int64_t* rows) {
    const double p = 1.0 / static_cast<double>(n);
    double last = 0;
    walk_cumsum(p, n, [&](std::int64_t, double value, double step, std::int64_t steps) {
        last = value + static_cast<double>(steps - 1) * step;
    });
    std::vector<std::pair<double, int>> wanted(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) wanted[i] = {draws[i], i};
    std::sort(wanted.begin(), wanted.end());
    int found = 0;
    walk_cumsum(p, n, [&](std::int64_t first, double value, double step, std::int64_t steps) {
        auto above = [&](std::int64_t t, double draw) { return (value + static_cast<double>(t) * step) / last > draw; };
        while (found < count && above(steps - 1, wanted[found].first)) {
            std::int64_t low = 0, high = steps - 1;  // the first t above the draw lies in [low, high]
            while (low < high) {
                const std::int64_t middle = low + (high - low) / 2;
                if (above(middle, wanted[found].first)) high = middle;
                else low = middle + 1;
            }
            rows[wanted[found++].second] = first + low;
        }
    });
    for (; found < count; ++found) rows[wanted[found].second] = n - 1;
}

double probe_value(std::uint64_t& state) noexcept {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<double>(state >> 11) / 9007199254740992.0 * 256.0 - 128.0;
}

bool rows_independent(Dgemm dgemm, bool* fused) {
    constexpr int k = 7, rows = 512;
    std::uint64_t state = 12345;
    std::vector<double> centres(k * 3), x(rows * 3), norms(k);
    for (double& v : centres) v = probe_value(state);
    for (double& v : x) v = probe_value(state);
    for (int j = 0; j < k; ++j) norms[j] = squared_norm(&centres[3 * j], NormOrder::first01);
    auto block = [&](int first, int count) {
        std::vector<double> out(static_cast<std::size_t>(count) * k);
        dgemm_values(dgemm, &x[3 * first], count, centres.data(), norms.data(), k, out.data());
        return out;
    };
    std::vector<double> whole = block(0, 256);
    const std::vector<double> rest = block(256, 256);
    whole.insert(whole.end(), rest.begin(), rest.end());
    for (int count : {1, 2, 3, 5, 8, 13, 31, 64, 100, 255})
        for (int first : {0, 1, 6, 44}) {
            const std::vector<double> part = block(first, count);
            if (!std::equal(part.begin(), part.end(), whole.begin() + static_cast<std::ptrdiff_t>(first) * k,
                            [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }))
                return false;
        }
    std::vector<double> own(whole.size());
    fused_distances(x.data(), rows, centres.data(), norms.data(), k, own.data());
    *fused = std::memcmp(own.data(), whole.data(), own.size() * sizeof(double)) == 0;
    return true;
}

namespace {

// NumPy's DOUBLE_pairwise_sum (umath/loops_utils.h.src): below 8 values a plain loop from -0.0 (so that a
// sum of -0.0 stays -0.0), up to 128 eight accumulators added in a fixed tree, beyond that two halves cut
// at a multiple of 8.
double pairwise_sum(const double* a, std::int64_t n) noexcept {
    if (n < 8) {
        double result = -0.0;
        for (std::int64_t i = 0; i < n; ++i) result += a[i];
        return result;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        std::int64_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        double result = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) result += a[i];
        return result;
    }
    std::int64_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

}  // namespace

// The reduction starts from add's identity, 0.0, and adds the pairwise sum of all values to it.
double numpy_sum(const double* a, std::int64_t n) noexcept { return 0.0 + pairwise_sum(a, n); }

namespace {

// A step of the fit that later tasks wait for. Waiting polls the fit's Stop, so that a failure or an
// interruption elsewhere (which requests it) ends the wait.
class Latch {
public:
    explicit Latch(int count) : left_(count) {}
    void count_down() {
        const std::lock_guard<std::mutex> guard(lock_);
        if (--left_ == 0) done_.notify_all();
    }
    void wait(Stop& stop) {
        std::unique_lock<std::mutex> guard(lock_);
        while (left_ > 0) {
            guard.unlock();
            stop.poll();
            guard.lock();
            done_.wait_for(guard, std::chrono::milliseconds(2), [&] { return left_ == 0; });
        }
    }

private:
    std::mutex lock_;
    std::condition_variable done_;
    int left_;
};

}  // namespace

struct Fit::State {
    Shared shared;
    std::array<Seeds, runs> seeds;
    std::array<Run, runs> results;
    std::array<bool, runs> iterated{};
    // Every run's labels, d for each, run after run.
    std::vector<std::int32_t, UninitialisedLargeAllocator<std::int32_t>> labels;
    explicit State(const Problem& problem)
        : shared(problem), labels(static_cast<std::size_t>(runs) * static_cast<std::size_t>(shared.d)) {}
    std::int32_t* labels_of(int run) { return labels.data() + static_cast<std::size_t>(run) * shared.d; }
};

Fit::Fit(const Problem& problem) : state_(std::make_unique<State>(problem)) {}

Fit::~Fit() = default;

// One list of tasks on the problem's threads: the blocks of rows in parts and the runs' order with its
// octree, then each run's seeding and, where the seeding decides, its iterations at once. A run's seeding
// waits for the blocks, its iterations for the octree: a thread done with the setup goes on with a run
// while the other finishes, and no thread waits for the others between the seedings and the
// iterations. Each task is the same whichever thread takes it, so the results do not depend on their
// number.
std::vector<int> Fit::seed(Stop& stop) {
    Shared& shared = state_->shared;
    const int parts = shared.blocks_made ? 0 : static_cast<int>(shared.block_parts.size());
    if (shared.blocks_made) shared.list_blocks();
    const int tasks = parts + 1 + runs;
    Latch blocked(parts > 0 ? 1 : 0), ordered(1);
    std::atomic<int> parts_left{parts}, next{0};
    run_on_threads(std::clamp(shared.problem.workers, 1, tasks), stop, [&] {
        LargeVector<std::int32_t> closest;  // the seedings' distances, one buffer per thread
        for (int task; (task = next.fetch_add(1)) < tasks;) {
            if (task < parts) {
                shared.build_part(static_cast<std::size_t>(task), stop);
                if (parts_left.fetch_sub(1) == 1) {  // the last part: the blocks can be listed
                    shared.list_blocks();
                    blocked.count_down();
                }
            } else if (task == parts) {
                shared.order_runs(stop);
                ordered.count_down();
            } else {
                const int run = task - parts - 1;
                blocked.wait(stop);
                Seeds& seeds = state_->seeds[run];
                seeds = kmeans::seed(shared, run, closest, stop);
                ordered.wait(stop);
                for (std::int32_t& colour : seeds.colours) colour = shared.index_of[colour];
                if (seeds.undecided) continue;
                state_->results[run] = lloyd(shared, seeds.colours, state_->labels_of(run), stop);
                state_->iterated[run] = true;
            }
        }
    });
    // Only the seeding walks the rows.
    std::vector<Block>().swap(shared.block_list);
    std::vector<BlockPart>().swap(shared.block_parts);
    std::vector<int> open;
    for (int run = 0; run < runs; ++run)
        if (state_->seeds[run].undecided) open.push_back(run);
    return open;
}

std::optional<library::Reason> Fit::seeding_undecided(int run) const { return state_->seeds[run].undecided; }

std::int64_t Fit::draws_before(int run) const {
    return static_cast<std::int64_t>(run) * static_cast<std::int64_t>(state_->shared.draws_per_run());
}

void Fit::take_seeds(int run, const std::vector<std::int64_t>& rows) {
    Seeds& seeds = state_->seeds[run];
    seeds.undecided.reset();
    seeds.colours.clear();
    for (std::int64_t row : rows) seeds.colours.push_back(state_->shared.index_of_row(row));
}

bool Fit::covers_every_colour(int run) const {
    std::vector<std::int32_t> seen = state_->seeds[run].colours;
    std::sort(seen.begin(), seen.end());
    return std::unique(seen.begin(), seen.end()) - seen.begin() == state_->shared.d;
}

std::vector<int> Fit::iterate(Stop& stop) {
    const Shared& shared = state_->shared;
    for (const Seeds& seeds : state_->seeds)
        if (seeds.undecided) throw std::logic_error("a run is iterated before it is seeded");
    auto& results = state_->results;
    std::vector<int> left;
    for (int run = 0; run < runs; ++run)
        if (!state_->iterated[run]) left.push_back(run);
    std::atomic<std::size_t> next{0};
    run_on_threads(std::clamp(shared.problem.workers, 1, std::max(1, static_cast<int>(left.size()))), stop, [&] {
        for (std::size_t at; (at = next.fetch_add(1)) < left.size();)
            results[left[at]] = lloyd(shared, state_->seeds[left[at]].colours, state_->labels_of(left[at]), stop);
    });
    std::vector<int> open;
    for (int run = 0; run < runs; ++run)
        if (results[run].undecided) open.push_back(run);
    return open;
}

std::optional<library::Reason> Fit::iteration_undecided(int run) const { return state_->results[run].undecided; }

std::vector<double> Fit::initial_centres(int run) const {
    const Shared& shared = state_->shared;
    std::vector<double> centres;
    for (std::int32_t colour : state_->seeds[run].colours)
        for (const auto* x : {&shared.xa, &shared.xb, &shared.xc}) centres.push_back((*x)[colour]);
    return centres;
}

void Fit::take_run(int run, const std::vector<std::int32_t>& labels, double inertia, std::vector<double> centres) {
    const Shared& shared = state_->shared;
    Run& taken = state_->results[run];
    taken.undecided.reset();
    state_->iterated[run] = true;
    taken.labels = state_->labels_of(run);
    for (std::int32_t i = 0; i < shared.d; ++i) taken.labels[i] = labels[shared.colour_of[i]];
    taken.inertia = inertia;
    taken.centres = std::move(centres);
}

Result Fit::choose() {
    const Shared& shared = state_->shared;
    auto& results = state_->results;
    Result result;
    int best = -1;
    for (int run = 0; run < runs; ++run) {
        Run& candidate = results[run];
        if (candidate.undecided) {
            result.undecided = candidate.undecided;
            return result;
        }
        if (best < 0) {
            best = run;
            continue;
        }
        const Run& chosen = results[best];
        if (same_clustering(candidate.labels, chosen.labels, shared.d, shared.k)) continue;
        // The library's inertias are sums over the rows in their order, each within n rounding steps
        // of the exact sum (as ours are, summed over the colours); only runs that close leave the
        // choice open.
        const double scale = std::max(candidate.inertia, chosen.inertia);
        const double rounding = 4.0 * static_cast<double>(shared.n) * std::numeric_limits<double>::epsilon();
        if (std::fabs(candidate.inertia - chosen.inertia) <= std::max(1e-12, rounding) * scale) {
            result.undecided = library::Reason::equal_inertia;
            return result;
        }
        if (candidate.inertia < chosen.inertia) best = run;
    }
    Run& chosen = results[best];
    result.centres = std::move(chosen.centres);
    for (std::size_t i = 0; i < result.centres.size(); ++i) result.centres[i] += shared.mean[i % 3];
    result.labels.resize(static_cast<std::size_t>(shared.d));
    for (std::int32_t i = 0; i < shared.d; ++i) result.labels[shared.colour_of[i]] = chosen.labels[i];
    return result;
}

}  // namespace lq::kernels::kmeans
