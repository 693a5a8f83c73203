#include "kernels/kmeans/kmeans.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <thread>

#include "kernels/kmeans/legacy_random.hpp"
#include "kernels/kmeans/steps.hpp"

namespace lq::kernels::kmeans {
namespace {

constexpr std::int64_t poll_rows = 1 << 18;

// np.var(X, axis=0) for each channel: NumPy sums the squared deviations row after row.
std::array<double, 3> variances(const ByteRows& rows, const std::array<double, 3>& mean, Stop& stop) {
    std::array<std::array<double, 256>, 3> square;
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v) {
            const double deviation = v - mean[c];
            square[c][v] = deviation * deviation;
        }
    std::array<double, 3> sum{};
    for (std::int64_t i = 0; i < rows.count; ++i) {
        if (i % poll_rows == 0) stop.poll();
        const std::uint8_t* row = rows.row(i);
        for (int c = 0; c < 3; ++c) sum[c] += square[c][row[c * rows.channel_stride]];
    }
    for (double& s : sum) s /= static_cast<double>(rows.count);
    return sum;
}

// random_state.choice(n, p=w / w.sum()) with unit weights for each run: the cumulative sum of p,
// divided by its last value, searched for the first entry above the draw. The sums are NumPy's
// sequential ones, so they are replayed in the same order.
void choose_first_rows(Shared& shared, Stop& stop) {
    const double p = 1.0 / static_cast<double>(shared.n);
    double last = 0;
    for (std::int64_t i = 0; i < shared.n; ++i) {
        if (i % poll_rows == 0) stop.poll();
        last += p;
    }
    std::array<std::pair<double, int>, runs> wanted;
    for (int run = 0; run < runs; ++run) wanted[run] = {shared.draws[run * shared.draws_per_run()], run};
    std::sort(wanted.begin(), wanted.end());
    int found = 0;
    double cdf = 0;
    for (std::int64_t i = 0; i < shared.n && found < runs; ++i) {
        if (i % poll_rows == 0) stop.poll();
        cdf += p;
        const double normalised = cdf / last;
        while (found < runs && normalised > wanted[found].first) shared.first_row[wanted[found++].second] = i;
    }
    for (; found < runs; ++found) shared.first_row[wanted[found].second] = shared.n - 1;
}

void build_blocks(Shared& shared, Stop& stop) {
    const auto& ids = shared.problem.row_colours;
    std::vector<std::int32_t> count(static_cast<std::size_t>(shared.d), 0);
    std::vector<std::int32_t> touched;
    shared.block_begin.push_back(0);
    for (std::int64_t begin = 0; begin < shared.n; begin += Shared::block_rows) {
        stop.poll();
        const std::int64_t end = std::min(shared.n, begin + Shared::block_rows);
        touched.clear();
        for (std::int64_t i = begin; i < end; ++i)
            if (count[ids[i]]++ == 0) touched.push_back(ids[i]);
        for (std::int32_t colour : touched) {
            shared.block_colour.push_back(colour);
            shared.block_count.push_back(count[colour]);
            count[colour] = 0;
        }
        shared.block_begin.push_back(static_cast<std::int64_t>(shared.block_colour.size()));
    }
}

// labels1 maps onto labels2 label for label (the library's _is_same_clustering).
bool same_clustering(const std::vector<std::int32_t>& labels1, const std::vector<std::int32_t>& labels2, int k) {
    std::vector<std::int32_t> mapping(static_cast<std::size_t>(k), -1);
    for (std::size_t i = 0; i < labels1.size(); ++i) {
        std::int32_t& to = mapping[labels1[i]];
        if (to == -1)
            to = labels2[i];
        else if (to != labels2[i])
            return false;
    }
    return true;
}

}  // namespace

Shared::Shared(const Problem& p, Stop& stop)
    : problem(p), k(p.n_clusters), n(p.rows.count), d(p.colours.count()) {
    trials = 2 + static_cast<int>(std::log(static_cast<double>(k)));
    const auto& colours = p.colours.colours();
    const auto& weights = p.colours.weights();
    // X.mean(axis=0): sums of integers, exact in float64, divided once.
    std::array<std::int64_t, 3> sums{};
    for (std::int32_t c = 0; c < d; ++c)
        for (int channel = 0; channel < 3; ++channel) sums[channel] += weights[c] * colours[c][channel];
    for (int channel = 0; channel < 3; ++channel)
        mean[channel] = static_cast<double>(sums[channel]) / static_cast<double>(n);
    x.resize(static_cast<std::size_t>(d) * 3);
    weight.resize(static_cast<std::size_t>(d));
    for (int f = 0; f < 3; ++f) channel[f].resize(static_cast<std::size_t>(d));
    for (std::int32_t c = 0; c < d; ++c) {
        for (int f = 0; f < 3; ++f) {
            x[3 * c + f] = colours[c][f] - mean[f];
            channel[f][c] = colours[c][f];
        }
        weight[c] = static_cast<double>(weights[c]);
    }
    // np.mean(np.var(X, axis=0)) * 1e-4
    const std::array<double, 3> variance = variances(p.rows, mean, stop);
    tol = numpy_sum(variance.data(), 3) / 3 * 1e-4;
    LegacyRandom random(42);
    draws.resize(runs * draws_per_run());
    for (double& draw : draws) draw = random.random_sample();
    choose_first_rows(*this, stop);
    if (k > 1) build_blocks(*this, stop);
}

// With FMA instructions where the processor has them, else the library's exact fma().
__attribute__((target_clones("fma", "default"))) void fused_distances(const double* rows, int count,
                                                                      const double* centres,
                                                                      const double* centre_norms, int k,
                                                                      double* out) noexcept {
    for (int r = 0; r < count; ++r) {
        const double* x = rows + 3 * r;
        for (int j = 0; j < k; ++j) {
            const double* centre = centres + 3 * j;
            double dot = x[0] * centre[0];
            dot = std::fma(x[1], centre[1], dot);
            dot = std::fma(x[2], centre[2], dot);
            out[static_cast<std::size_t>(r) * k + j] = std::fma(-2.0, dot, centre_norms[j]);
        }
    }
}

double numpy_sum(const double* a, std::int64_t n) noexcept {
    if (n < 8) {
        double result = 0.;
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
    return numpy_sum(a, half) + numpy_sum(a + half, n - half);
}


namespace {

// Runs every run on `workers` threads (the calling one included). Each run is independent, so the
// results are the same whatever the number of threads. The first failure stops the others and is
// rethrown here, an interruption only when nothing else failed.
std::vector<Run> run_all(const Shared& shared, Stop& stop) {
    std::vector<Run> results(runs);
    std::atomic<int> next{0};
    std::mutex failure_lock;
    std::exception_ptr failure, interruption;
    auto work = [&] {
        try {
            for (int run; (run = next.fetch_add(1)) < runs;) {
                auto a = std::chrono::steady_clock::now();
                Seeds seeds = seed(shared, run, stop);
                auto b = std::chrono::steady_clock::now();
                if (seeds.undecided)
                    results[run].undecided = seeds.undecided;
                else
                    results[run] = lloyd(shared, seeds.colours, stop);
                auto c = std::chrono::steady_clock::now();
                if (std::getenv("LQ_KMEANS_DEBUG")) std::fprintf(stderr, "[kmeans] run %d seed %.1fms lloyd %.1fms\n", run, std::chrono::duration<double, std::milli>(b-a).count(), std::chrono::duration<double, std::milli>(c-b).count());  // DEBUG
            }
        } catch (const Interrupted&) {
            const std::lock_guard<std::mutex> guard(failure_lock);
            interruption = std::current_exception();
        } catch (...) {
            stop.request();
            const std::lock_guard<std::mutex> guard(failure_lock);
            if (!failure) failure = std::current_exception();
        }
    };
    const int workers = std::clamp(shared.problem.workers, 1, runs);
    std::vector<std::thread> threads;
    try {
        for (int t = 1; t < workers; ++t) threads.emplace_back(work);
    } catch (const std::system_error&) {
        // No thread to be had: the calling thread does all the runs.
    }
    work();
    for (std::thread& thread : threads) thread.join();
    if (failure) std::rethrow_exception(failure);
    if (interruption) std::rethrow_exception(interruption);
    return results;
}

}  // namespace

Result fit(const Problem& problem, Stop& stop) {
    auto t0 = std::chrono::steady_clock::now();
    const Shared shared(problem, stop);
    auto t1 = std::chrono::steady_clock::now();
    std::vector<Run> results = run_all(shared, stop);
    auto t2 = std::chrono::steady_clock::now();
    if (std::getenv("LQ_KMEANS_DEBUG")) std::fprintf(stderr, "[kmeans] shared %.1fms runs %.1fms d=%d\n", std::chrono::duration<double, std::milli>(t1-t0).count(), std::chrono::duration<double, std::milli>(t2-t1).count(), shared.d);  // DEBUG
    Result result;
    int best = -1;
    for (int run = 0; run < runs; ++run) {
        Run& candidate = results[run];
        if (candidate.undecided) {
            result.undecided = candidate.undecided;
            return result;
        }
        result.relocated = result.relocated || candidate.relocated;
        if (best < 0) {
            best = run;
            continue;
        }
        const Run& chosen = results[best];
        if (same_clustering(candidate.labels, chosen.labels, shared.k)) continue;
        // The library's inertias are sums over the rows in their order; ours, over the colours, agree
        // with them to far better than this, so only near-equal ones leave the choice open.
        const double scale = std::max(candidate.inertia, chosen.inertia);
        if (std::fabs(candidate.inertia - chosen.inertia) <= 1e-8 * scale) {
            result.undecided = "two runs of nearly equal inertia";
            return result;
        }
        if (candidate.inertia < chosen.inertia) best = run;
    }
    Run& chosen = results[best];
    result.centres = std::move(chosen.centres);
    for (std::size_t i = 0; i < result.centres.size(); ++i) result.centres[i] += shared.mean[i % 3];
    result.labels = std::move(chosen.labels);
    return result;
}

}  // namespace lq::kernels::kmeans
