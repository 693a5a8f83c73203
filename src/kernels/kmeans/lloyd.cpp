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
// The E-step walks the colour octree (Shared::cells) from the top, keeping for each cell the centres that
// may be nearest to one of its colours: a centre is dropped where its value exceeds that of the centre
// nearest the box's middle by more than `decided` everywhere in the cell's box (the difference of two
// centres' values is linear in the colour, so its least over a box is at a corner). A cell left with one
// centre takes its label whole, its rows added to the cluster sums at once; the colours of a leaf left
// with more are labelled one by one, as the library computes them. `decided` exceeds `near_tie` by far
// more than the rounding of both computations, so a cell labelled whole holds no colour that labelled on
// its own would take another label or count as near a bisector.
// See kmeans.txt: the library's steps this follows, the undecided bands and the error bounds.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "kernels/clones.hpp"
#include "kernels/kmeans/run.hpp"

namespace lq::kernels::kmeans {
namespace {

constexpr int chunk = 64;          // colours per dgemm call, at least a leaf's
constexpr double near_tie = 1e-6;  // computed gap below which the label is uncertain
// A cell takes one label when every other centre's value exceeds its centre's by more than this all over
// the cell's box: near_tie plus a margin far above the roundings of the values and of the test (below
// 1e-9 for 8-bit colours; kmeans.txt, "Cells").
constexpr double decided = 2e-6;
constexpr double inf = std::numeric_limits<double>::infinity();
// Cells nest at most this deep: one level per three bits of the Morton code, and the root.
constexpr int max_depth = 10;

// For each colour of a leaf: the library's label (the first centre of least value), that value and
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

// Whether some colour of the leaf has its two nearest centres within rounding of each other.
LQ_CLONES bool near_tie_in(const Nearest& near, int count) {
    int tie = 0;
    for (int r = 0; r < count; ++r) tie |= near.second[r] - near.best[r] <= near_tie;
    return tie != 0;
}

// _euclidean_dense_dense for three features, squared.
double squared_distance(const double* a, const double* b) noexcept {
    double result = 0;
    for (int f = 0; f < 3; ++f) result += (a[f] - b[f]) * (a[f] - b[f]);
    return result;
}

class Lloyd {
public:
    Lloyd(const Shared& shared, std::int32_t* labels, Stop& stop)
        : s_(shared),
          stop_(stop),
          k_(shared.k),
          d_(shared.d),
          labels_(labels),
          marks_(shared.cells.size(), -1),
          sums_(static_cast<std::size_t>(k_) * 3, 0),
          counts_(static_cast<std::size_t>(k_), 0),
          candidates_(static_cast<std::size_t>(max_depth + 1) * k_) {}

    Run run(const std::vector<std::int32_t>& seeds) {
        std::vector<double> centres(static_cast<std::size_t>(k_) * 3), next(centres.size());
        for (int j = 0; j < k_; ++j)
            for (int f = 0; f < 3; ++f) centres[3 * j + f] = x_[f][seeds[j]];
        bool exact = true;  // centres bit for bit the library's
        bool strict = false;
        std::vector<double> shift(static_cast<std::size_t>(k_));
        for (int iteration = 0; iteration < max_iterations; ++iteration) {
            const bool changed = assign(centres, exact);
            if (result_.undecided) return std::move(result_);
            update(next);
            if (result_.undecided) return std::move(result_);
            for (int j = 0; j < k_; ++j) shift[j] = std::sqrt(squared_distance(&centres[3 * j], &next[3 * j]));
            std::swap(centres, next);
            exact = false;
            if (!changed) {
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
        for (std::int32_t c = 0; c < d_; ++c) {
            const double x[3] = {s_.xa[c], s_.xb[c], s_.xc[c]};
            inertia += squared_distance(x, &centres[3 * labels_[c]]) * s_.weight[c];
        }
        result_.inertia = inertia;
        result_.centres = std::move(centres);
        result_.labels = labels_;
        return std::move(result_);
    }

private:
    // The E-step: every colour's label by the library's arithmetic, and the cluster sums of the M-step
    // (exact integers, so the same whatever way they are added up). Returns whether a label changed.
    bool assign(const std::vector<double>& centres, bool exact) {
        stop_.poll();
        centres_ = centres.data();
        exact_ = exact;
        for (int j = 0; j < k_; ++j) centre_norm_[j] = squared_norm(&centres[3 * j], s_.problem.norm_order);
        std::fill(sums_.begin(), sums_.end(), 0);
        std::fill(counts_.begin(), counts_.end(), 0);
        changed_ = false;
        for (int j = 0; j < k_; ++j) candidates_[j] = j;
        visit(0, 0, k_);
        return changed_;
    }

    // A cell with the centres that may be nearest to its colours (candidates_ at `depth`, `count` of them).
    void visit(std::int32_t at, int depth, int count) {
        const Cell& cell = s_.cells[at];
        const int* from = &candidates_[static_cast<std::size_t>(depth) * k_];
        std::array<double, 3> low, high, middle;
        for (int f = 0; f < 3; ++f) {
            // As the colours themselves are centred: rounding is monotonic, so they lie in this box.
            low[f] = cell.low[f] - s_.mean[f];
            high[f] = cell.high[f] - s_.mean[f];
            middle[f] = 0.5 * (low[f] + high[f]);
        }
        int nearest = from[0];
        double least = inf;
        for (int t = 0; t < count; ++t) {
            const double* c = centres_ + 3 * from[t];
            const double value = centre_norm_[from[t]] - 2 * (middle[0] * c[0] + middle[1] * c[1] + middle[2] * c[2]);
            if (value < least) {
                least = value;
                nearest = from[t];
            }
        }
        int* kept = &candidates_[static_cast<std::size_t>(depth + 1) * k_];
        int left = 0;
        const double* own = centres_ + 3 * nearest;
        for (int t = 0; t < count; ++t) {
            const int other = from[t];
            if (other == nearest) continue;
            // value(other) - value(nearest) = a + b.x over the box: least at the corner that b points away from.
            const double* c = centres_ + 3 * other;
            double gap = centre_norm_[other] - centre_norm_[nearest];
            for (int f = 0; f < 3; ++f) {
                const double b = -2 * (c[f] - own[f]);
                gap += std::min(b * low[f], b * high[f]);
            }
            if (!(gap > decided)) kept[left++] = other;
        }
        if (left == 0) return take(at, nearest);
        if (cell.first_child < 0) return label_leaf(at);
        kept[left++] = nearest;
        // The children lie together, but apart from this cell: ask for them before they are read.
        for (int child = 0; child < cell.children; ++child) __builtin_prefetch(&s_.cells[cell.first_child + child]);
        // Children not visited last time hold their parent's label, if it had one.
        if (marks_[at] >= 0)
            for (int child = 0; child < cell.children; ++child) marks_[cell.first_child + child] = marks_[at];
        std::int32_t mark = -2;
        for (int child = 0; child < cell.children; ++child) {
            const std::int32_t index = cell.first_child + child;
            visit(index, depth + 1, left);
            if (result_.undecided) return;
            mark = mark == -2 || mark == marks_[index] ? marks_[index] : -1;
        }
        marks_[at] = mark;
    }

    // The whole cell takes `label`. Its mark says whether its colours have it already.
    void take(std::int32_t at, int label) {
        const Cell& cell = s_.cells[at];
        counts_[label] += cell.weight;
        for (int f = 0; f < 3; ++f) sums_[3 * label + f] += cell.sum[f];
        if (marks_[at] == label) return;
        std::fill(labels_ + cell.begin, labels_ + cell.end, label);
        marks_[at] = label;
        changed_ = true;
    }

    void label_leaf(std::int32_t at) {
        const Cell& cell = s_.cells[at];
        const std::int32_t begin = cell.begin;
        const int count = static_cast<int>(cell.end - begin);
        Nearest& near = nearest_;
        if (s_.problem.fused)
            nearest_two(&s_.xa[begin], &s_.xb[begin], &s_.xc[begin], count, centres_, centre_norm_.data(), k_, near);
        else nearest_by_dgemm(begin, count);
        if (!exact_ && near_tie_in(near, count)) {
            result_.undecided = library::Reason::bisector;
            return;
        }
        std::int32_t mark = near.label[0];
        for (int r = 0; r < count; ++r) {
            const std::int32_t c = begin + r;
            const std::int32_t label = near.label[r];
            if (labels_[c] != label) {
                labels_[c] = label;
                changed_ = true;
            }
            if (label != mark) mark = -1;
            const std::int64_t w = s_.weight[c];
            counts_[label] += w;
            for (int f = 0; f < 3; ++f) sums_[3 * label + f] += w * s_.value[f][c];
        }
        marks_[at] = mark;
    }

    void nearest_by_dgemm(std::int32_t begin, int count) {
        for (int r = 0; r < count; ++r)
            for (int f = 0; f < 3; ++f) rows_[3 * r + f] = x_[f][begin + r];
        dgemm_values(s_.problem.dgemm, rows_.data(), count, centres_, centre_norm_.data(), k_, distance_.data());
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

    const Shared& s_;
    const std::array<const double*, 3> x_{s_.xa.data(), s_.xb.data(), s_.xc.data()};
    Stop& stop_;
    const int k_;
    const std::int32_t d_;
    std::int32_t* labels_;
    // Per cell, the label all its colours have, or -1; for a cell not visited in the last E-step, what
    // it was when last visited, unless a parent's mark says otherwise.
    std::vector<std::int32_t> marks_;
    std::vector<std::int64_t> sums_, counts_;
    std::vector<int> candidates_;  // per depth of the walk
    const double* centres_ = nullptr;
    std::vector<double> centre_norm_ = std::vector<double>(static_cast<std::size_t>(k_));
    bool exact_ = true;
    bool changed_ = false;
    Nearest nearest_;
    std::vector<double> rows_ = std::vector<double>(3 * chunk);  // a leaf's colours, as dgemm reads rows
    std::vector<double> distance_ = std::vector<double>(static_cast<std::size_t>(chunk) * k_);
    Run result_;
};

}  // namespace

Run lloyd(const Shared& shared, const std::vector<std::int32_t>& seeds, std::int32_t* labels, Stop& stop) {
    std::fill(labels, labels + shared.d, -1);
    return Lloyd(shared, labels, stop).run(seeds);
}

}  // namespace lq::kernels::kmeans
