// K-means over the distinct colours of 8-bit rows, weighted by how often each occurs, giving the
// labels of scikit-learn's KMeans(n_clusters, random_state=42, n_init=10).fit on the rows themselves,
// and its centres but for the last bits of their sums (reported colours are exact means, taken from
// integer sums: src/extraction/centres.cpp): the same k-means++ draws from the legacy Mersenne Twister
// stream, the same Lloyd iterations (with its distance arithmetic, delegated to the same BLAS dgemm),
// convergence rule and choice of the best of ten runs. The library's facts are in library.hpp; each
// step is mapped to the library's code in kmeans.txt, with the checks of every replica.
//
// Where a decision of the library hangs on rounding that a weighted computation cannot reproduce
// (an exact tie in a seeding potential, a colour on a bisector of centres that are means, a cluster
// left without rows, two runs of equal inertia), the fit says so instead of guessing. A run whose
// seeding is undecided can take its seeds from the caller (the library's k-means++ on the rows
// themselves), and a run whose iterations are undecided the library's iterations of that run; for an
// undecided choice between runs the caller runs the library itself.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kernels/distinct_rows.hpp"
#include "kernels/kmeans/library.hpp"
#include "kernels/stop.hpp"

namespace lq::kernels::kmeans {

// The Fortran dgemm, as the library's own k-means reaches it.
using Dgemm = void (*)(char* transa, char* transb, int* m, int* n, int* k, double* alpha, double* a, int* lda,
                       double* b, int* ldb, double* beta, double* c, int* ldc);

// Which two of a centre's three squares the library's row norms add first (it depends on how NumPy's
// einsum was built and dispatched; the caller finds out).
enum class NormOrder : std::uint8_t { first01, first02, first12 };

inline double squared_norm(const double* c, NormOrder order) noexcept {
    const double a = c[0] * c[0], b = c[1] * c[1], d = c[2] * c[2];
    switch (order) {
        case NormOrder::first01: return (a + b) + d;
        case NormOrder::first02: return (a + d) + b;
        default: return (b + d) + a;
    }
}

// dgemm's value with alpha = -2, beta = 1 and three features as the OpenBLAS kernels compute it, a
// fused multiply-add chain, for the row (a, b, c) and a centre. Where the caller has checked that the
// BLAS at hand gives exactly these values, the fit computes them itself rather than calling dgemm.
inline double fused_value(double a, double b, double c, const double* centre, double centre_norm) noexcept {
    double dot = a * centre[0];
    dot = std::fma(b, centre[1], dot);
    dot = std::fma(c, centre[2], dot);
    return std::fma(-2.0, dot, centre_norm);
}

// fused_value for `count` rows (3 values each) and `k` centres, row by row into `out`.
void fused_distances(const double* rows, int count, const double* centres, const double* centre_norms, int k,
                     double* out) noexcept;

// The one dgemm call, as _euclidean_distances and the Lloyd chunks make it in the library: `out` (count x k,
// row by row) starts as the centres' squared norms and gets -2 rows . centres added, by
// dgemm('t', 'n', k, count, 3, -2, centres, 3, rows, 3, 1, out, k).
void dgemm_values(Dgemm dgemm, const double* rows, int count, const double* centres, const double* centre_norms, int k,
                  double* out);

// A deterministic spread of test values in [-128, 128) with all 53 bits of precision, so that different
// roundings of the library's arithmetic give different results (the probes of dgemm and the norm order).
double probe_value(std::uint64_t& state) noexcept;

// Whether `dgemm` gives a row the same values whatever block it is in and wherever (the fit computes
// labels per colour, not per row); *fused tells whether its values are also fused_value's, which the fit
// may then compute itself. Checked on spread test values with all 53 bits of precision, so that
// different roundings give different values.
bool rows_independent(Dgemm dgemm, bool* fused);

inline constexpr int runs = library::runs;

// out[i] = labels[row_colours[i]] for every row, on up to `workers` threads: a label per row from the
// labels per colour. `out` may be row_colours' own memory: each row's colour is read before its label
// replaces it.
void label_rows(const std::vector<std::int32_t>& labels, const RowColours& row_colours, std::int32_t* out, int workers,
                Stop& stop);

// How many rows the seeding's blocks hold, for `rows` rows.
std::int64_t block_rows_for(std::int64_t rows);

// The seeding's blocks of rows, made on a thread of their own while the colour table's pass writes the
// rows' positions: the pass waits on memory and leaves the other processor idle, and the blocks would
// otherwise be made after it. A fit of those rows takes them (when they are what it would make itself).
class BlocksAhead {
public:
    explicit BlocksAhead(std::int64_t rows);  // the most rows the pass may count
    ~BlocksAhead();
    // Reads the positions as `progress` publishes them, until the pass ends. Throws std::bad_alloc.
    void follow(const PassProgress& progress);

private:
    friend struct Shared;
    struct Made;
    std::unique_ptr<Made> made_;
};

struct Problem {
    const DistinctRows& colours;
    const RowColours& row_colours;  // the colour of every row
    int n_clusters;
    Dgemm dgemm;
    bool fused;  // dgemm's values are fused_value's
    NormOrder norm_order;
    int workers = 2;                      // threads for the ten runs; the result does not depend on it
    BlocksAhead* blocks_ahead = nullptr;  // blocks made during the table's pass, if any
};

struct Result {
    // Empty when the fit is the library's; else why only the library can say.
    std::optional<library::Reason> undecided;
    std::vector<double> centres;       // n_clusters x 3, in the rows' units
    std::vector<std::int32_t> labels;  // per distinct colour
};

// One fit in three phases: seed() seeds every run; the runs it cannot seed may be given their seeds
// (take_seeds) before iterate() runs Lloyd's iterations on all; the runs whose iterations it cannot
// decide may be given the library's own (take_run) before choose() chooses the best. Each run draws
// from one random stream at a fixed offset, so any run can be seeded on its own, and the runs are
// independent until the choice. The problem's colours and row_colours must outlive the fit. Members
// throw std::bad_alloc or Interrupted.
class Fit {
public:
    explicit Fit(const Problem& problem);  // rows.count >= n_clusters >= 1
    ~Fit();

    // The runs whose seeding only the library can decide, in order, and why for each.
    std::vector<int> seed(Stop& stop);
    std::optional<library::Reason> seeding_undecided(int run) const;  // empty once seeded
    // How many random_sample() values of the stream come before the run's first draw.
    std::int64_t draws_before(int run) const;
    // The run's initial centres as rows (indices below rows.count) of the library's own k-means++.
    void take_seeds(int run, const std::vector<std::int64_t>& rows);
    // Whether the run's seeds, as far as they are known, include every distinct colour.
    bool covers_every_colour(int run) const;
    // Lloyd's iterations of every run; once, after every run is seeded. Returns the runs whose iterations
    // only the library can decide, in order, and why for each (iteration_undecided).
    std::vector<int> iterate(Stop& stop);
    std::optional<library::Reason> iteration_undecided(int run) const;  // empty once iterated or taken
    // The run's initial centres as the library's iterations start from them: k x 3, centred.
    std::vector<double> initial_centres(int run) const;
    // The library's iterations of the run in place of its undecided ones: its labels by distinct colour
    // (the table's order), its inertia and its centres (k x 3, centred).
    void take_run(int run, const std::vector<std::int32_t>& labels, double inertia, std::vector<double> centres);
    // The choice of the best run, as the library makes it; once, after every run is iterated.
    Result choose();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace lq::kernels::kmeans
