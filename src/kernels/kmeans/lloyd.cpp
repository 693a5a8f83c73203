// One run of the library's Lloyd iterations (_kmeans_single_lloyd), over distinct colours with their
// row counts as weights.
//
// Labels: the library takes, per row, the first centre of least ||c||^2 - 2 x.c, with ||c||^2 from
// NumPy's row norms and -2 x.c added by dgemm in blocks of rows. Identical rows get identical values,
// and dgemm's value for a row does not depend on the other rows of its block (the caller checks this
// for the BLAS at hand), so computing it per colour with the same calls gives the library's labels.
// In the first iteration the centres are the seeds themselves, bit for bit, and every label is the
// library's, exact ties included. Later centres are means that we sum per colour rather than per
// row, so they may differ from the library's in the last bits; a colour whose two nearest centres
// are closer than `near_tie` could then be labelled either way, and the run is left undecided.
// Cluster sums are of centred rows: for the colours of a cluster, sum(w * v) - mean * sum(w), exact
// integers but for one rounding.
//
// Hamerly's bounds (an upper bound on the distance to the own centre, a lower bound on the distance to
// any other), kept as the one gap between them, skip colours whose label cannot change: the bounds are
// padded far beyond any rounding, and a colour is skipped only while the gap exceeds `min_gap`.
// See kmeans.txt: the library's steps this follows, and the undecided bands.
#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/clones.hpp"
#include "kernels/kmeans/run.hpp"

namespace lq::kernels::kmeans {
namespace {

constexpr int chunk = 64;           // colours per block (and per dgemm call)
constexpr double bound_pad = 1e-6;  // on squared distances, far above their rounding
// A colour is skipped while its distance to any other centre exceeds that to its own by more than
// min_gap: the gap in squared distances, which the library compares, then exceeds min_gap^2 = 1e-4, far
// above any rounding of them.
constexpr double min_gap = 1e-2;
constexpr double near_tie = 1e-6;  // computed gap below which the label is uncertain
constexpr double inf = std::numeric_limits<double>::infinity();

// Narrows the guaranteed gaps of a block's colours by their centres' moves (by own label: the own
// centre's shift plus the largest of the others'); true when some colour's label could change. Compiled
// twice, for processors with AVX2 and for any; element-wise, so both give the same.
LQ_CLONES bool move_and_test(int count, const std::int32_t* __restrict labels, double* __restrict gap,
                             const double* __restrict moved) {
    int open = 0;
    for (int c = 0; c < count; ++c) {
        const double g = gap[c] - moved[labels[c]];
        gap[c] = g;
        open |= !(g > min_gap);
    }
    return open != 0;
}

// For each colour of a block: the library's label (the first centre of least value), that value and
// the next least.
struct Nearest {
    std::int32_t label[chunk];
    double best[chunk], second[chunk];
};

// The values as dgemm gives them (fused_value, checked by the caller), scanned as the library scans
// them: strictly less replaces. Rows side by side, so that the loops vectorise over rows.
LQ_CLONES void nearest_two(const double* __restrict xa, const double* __restrict xb, const double* __restrict xc,
                           int count, const double* centres, const double* centre_norms, int k, Nearest& near) {
    for (int r = 0; r < count; ++r) {
        near.best[r] = fused_value(xa[r], xb[r], xc[r], centres, centre_norms[0]);
        near.second[r] = inf;
        near.label[r] = 0;
    }
    for (int j = 1; j < k; ++j) {
        const double* centre = centres + 3 * j;
        const double norm = centre_norms[j];
        for (int r = 0; r < count; ++r) {
            const double value = fused_value(xa[r], xb[r], xc[r], centre, norm);
            const bool less = value < near.best[r];
            near.second[r] = less ? near.best[r] : std::min(near.second[r], value);
            near.best[r] = less ? value : near.best[r];
            near.label[r] = less ? j : near.label[r];
        }
    }
}

// The gap between the distance to the nearest centre and that to the next, from the values (which lack
// the colour's own squared norm), both padded outwards.
LQ_CLONES void gaps(const Nearest& near, const double* __restrict norm, int count, double* __restrict gap) {
    for (int r = 0; r < count; ++r) {
        const double upper = std::sqrt(std::max(0.0, near.best[r] + norm[r] + bound_pad));
        const double lower = std::sqrt(std::max(0.0, near.second[r] + norm[r] - bound_pad));
        gap[r] = lower - upper;
    }
}

// Whether some colour of the block has its two nearest centres within rounding of each other.
LQ_CLONES bool near_tie_in(const Nearest& near, int count) {
    int tie = 0;
    for (int r = 0; r < count; ++r) tie |= near.second[r] - near.best[r] <= near_tie;
    return tie != 0;
}

// Whether some colour of the block takes a label other than its own.
LQ_CLONES bool label_changes(const Nearest& near, const std::int32_t* __restrict labels, int count) {
    int changes = 0;
    for (int r = 0; r < count; ++r) changes |= labels[r] != near.label[r];
    return changes != 0;
}

// _euclidean_dense_dense for three features, squared.
double squared_distance(const double* a, const double* b) noexcept {
    double result = 0;
    for (int f = 0; f < 3; ++f) result += (a[f] - b[f]) * (a[f] - b[f]);
    return result;
}

class Lloyd {
public:
    Lloyd(const Shared& shared, Stop& stop)
        : s_(shared),
          stop_(stop),
          k_(shared.k),
          d_(shared.d),
          labels_(static_cast<std::size_t>(d_), -1),
          gap_(static_cast<std::size_t>(d_), 0.0),
          sums_(static_cast<std::size_t>(k_) * 3, 0),
          counts_(static_cast<std::size_t>(k_), 0) {}

    Run run(const std::vector<std::int32_t>& seeds) {
        std::vector<double> centres(static_cast<std::size_t>(k_) * 3), next(centres.size());
        for (int j = 0; j < k_; ++j)
            for (int f = 0; f < 3; ++f) centres[3 * j + f] = s_.x[3 * seeds[j] + f];
        bool exact = true;  // centres bit for bit the library's
        bool strict = false;
        std::vector<double> shift(static_cast<std::size_t>(k_));
        for (int iteration = 0; iteration < max_iterations; ++iteration) {
            const std::int64_t changed = assign(centres, exact);
            if (result_.undecided) return std::move(result_);
            update(next);
            if (result_.undecided) return std::move(result_);
            for (int j = 0; j < k_; ++j) shift[j] = std::sqrt(squared_distance(&centres[3 * j], &next[3 * j]));
            std::swap(centres, next);
            exact = false;
            move_bounds(shift);
            if (changed == 0) {
                strict = true;
                break;
            }
            std::vector<double> squares(shift.size());
            for (int j = 0; j < k_; ++j) squares[j] = shift[j] * shift[j];
            const double total = numpy_sum(squares.data(), k_);
            // The library's shifts differ from these in the last bits at most, and its tolerance from
            // ours by its variance's roundings, at most n + 3 of them.
            if (std::fabs(total - s_.tol) <= std::max(1e-8, 4.0 * static_cast<double>(s_.n) * 0x1p-52) * s_.tol) {
                result_.undecided = library::Reason::shift_at_tolerance;
                return std::move(result_);
            }
            if (total <= s_.tol) break;
        }
        if (!strict) {
            assign(centres, false);
            if (result_.undecided) return std::move(result_);
        }
        double inertia = 0;
        for (std::int32_t c = 0; c < d_; ++c)
            inertia += squared_distance(&s_.x[3 * c], &centres[3 * labels_[c]]) * s_.weight[c];
        result_.inertia = inertia;
        result_.centres = std::move(centres);
        result_.labels = std::move(labels_);
        return std::move(result_);
    }

private:
    // The E-step: labels of every colour whose label could change, by the library's arithmetic.
    // Returns how many labels changed.
    // Colours go block by block, in the runs' order (nearby colours together): a block whose bounds
    // all hold is skipped, any other is labelled whole, which also tightens the bounds of its settled
    // colours at no extra cost.
    std::int64_t assign(const std::vector<double>& centres, bool exact) {
        std::vector<double> centre_norm(static_cast<std::size_t>(k_));
        for (int j = 0; j < k_; ++j) centre_norm[j] = squared_norm(&centres[3 * j], s_.problem.norm_order);
        const bool first = labels_[0] < 0;  // no bounds yet
        std::int64_t changed = 0;
        for (std::int32_t begin = 0; begin < d_; begin += chunk) {
            const int count = static_cast<int>(std::min<std::int32_t>(chunk, d_ - begin));
            if (!first && !move_and_test(count, &labels_[begin], &gap_[begin], moved_.data())) continue;
            label_block(centres, centre_norm, begin, count, exact, changed);
            if (result_.undecided) break;
        }
        return changed;
    }

    void label_block(const std::vector<double>& centres, const std::vector<double>& centre_norm, std::int32_t begin,
                     int count, bool exact, std::int64_t& changed) {
        stop_.poll();
        Nearest& near = nearest_;
        if (s_.problem.fused)
            nearest_two(&s_.xa[begin], &s_.xb[begin], &s_.xc[begin], count, centres.data(), centre_norm.data(), k_,
                        near);
        else nearest_by_dgemm(centres, centre_norm, begin, count);
        gaps(near, &s_.norm[begin], count, &gap_[begin]);
        if (!exact && near_tie_in(near, count)) {
            result_.undecided = library::Reason::bisector;
            return;
        }
        if (!label_changes(near, &labels_[begin], count)) return;
        for (int r = 0; r < count; ++r) {
            const std::int32_t c = begin + r;
            if (labels_[c] != near.label[r]) {
                move_colour(c, near.label[r]);
                ++changed;
            }
        }
    }

    void nearest_by_dgemm(const std::vector<double>& centres, const std::vector<double>& centre_norm,
                          std::int32_t begin, int count) {
        dgemm_values(s_.problem.dgemm, &s_.x[3 * static_cast<std::size_t>(begin)], count, centres.data(),
                     centre_norm.data(), k_, distance_.data());
        for (int r = 0; r < count; ++r) {
            const double* row = &distance_[static_cast<std::size_t>(r) * k_];
            int label = 0;
            double best = row[0], second = inf;
            for (int j = 1; j < k_; ++j) {
                if (row[j] < best) {
                    second = best;
                    best = row[j];
                    label = j;
                } else if (row[j] < second) {
                    second = row[j];
                }
            }
            nearest_.label[r] = label;
            nearest_.best[r] = best;
            nearest_.second[r] = second;
        }
    }

    // Row sums per cluster are kept as exact integers, so that only colours that change label cost.
    void move_colour(std::int32_t c, int label) {
        const std::int32_t colour[3] = {s_.channel[0][c], s_.channel[1][c], s_.channel[2][c]};
        const std::int64_t w = static_cast<std::int64_t>(s_.weight[c]);
        if (labels_[c] >= 0) {
            for (int f = 0; f < 3; ++f) sums_[3 * labels_[c] + f] -= w * colour[f];
            counts_[labels_[c]] -= w;
        }
        for (int f = 0; f < 3; ++f) sums_[3 * label + f] += w * colour[f];
        counts_[label] += w;
        labels_[c] = label;
    }

    // The M-step: the library's centres_new sums (of centred rows), then _average_centers. A cluster
    // left without rows would take a row chosen by rounding noise (scikit-learn's relocation
    // compares distances that are exact ties for rows of equal colour), which only the library itself
    // can say; it happens in practice only when the image has fewer colours than clusters, where
    // the seeding already leaves the answer to the library.
    void update(std::vector<double>& next) {
        for (int j = 0; j < k_; ++j) {
            if (counts_[j] == 0) {
                result_.undecided = library::Reason::empty_cluster;
                return;
            }
            const double weight = static_cast<double>(counts_[j]);
            const double alpha = 1.0 / weight;
            for (int f = 0; f < 3; ++f)
                next[3 * j + f] = std::fma(-s_.mean[f], weight, static_cast<double>(sums_[3 * j + f])) * alpha;
        }
    }

    // The bounds follow the centres' moves; applied in the next E-step's pass over the colours.
    void move_bounds(const std::vector<double>& shift) {
        // A colour's own centre moved by at most its shift, any other by at most the largest shift, or
        // the second largest when the largest is its own centre's; each padded beyond rounding.
        int fastest = 0;
        for (int j = 1; j < k_; ++j)
            if (shift[j] > shift[fastest]) fastest = j;
        double second = 0;
        for (int j = 0; j < k_; ++j)
            if (j != fastest) second = std::max(second, shift[j]);
        for (int j = 0; j < k_; ++j)
            moved_[j] = (shift[j] + (j == fastest ? second : shift[fastest])) * (1 + 1e-12) + 2e-12;
    }

    const Shared& s_;
    Stop& stop_;
    const int k_;
    const std::int32_t d_;
    std::vector<std::int32_t> labels_;
    std::vector<double> gap_;  // how much nearer the own centre is than any other, at least
    std::vector<std::int64_t> sums_, counts_;
    Nearest nearest_;
    std::vector<double> distance_ = std::vector<double>(static_cast<std::size_t>(chunk) * k_);
    std::vector<double> moved_ = std::vector<double>(static_cast<std::size_t>(k_), 0.0);
    Run result_;
};

}  // namespace

Run lloyd(const Shared& shared, const std::vector<std::int32_t>& seeds, Stop& stop) {
    return Lloyd(shared, stop).run(seeds);
}

}  // namespace lq::kernels::kmeans
