// Labels when some core flags are unsettled. Counting colours near the density threshold is the
// costly part of DBSCAN on noise-like images, and most of those counts cannot change a label: a colour
// within eps of settled cores of one cluster only belongs to it whether it is a core or a border. So an
// unsettled colour is counted only where its flag can matter, round after round:
// - it has no settled core within eps, or settled cores of two clusters;
// - it lies within eps of an unsettled colour of another cluster (as cores they would join them);
// - as a core it would come before the first core of the cluster numbered before its own (the
//   numbering would change);
// - it lies within eps of a non-core whose smallest cluster within eps is larger than its own (as a
//   core it would give that border a smaller number).
// When none is left, every unsettled colour takes the cluster of its settled cores, which is its label
// either way, and the rest is labelled from the settled cores alone.
#include <algorithm>
#include <limits>
#include <utility>

#include "kernels/dbscan/dbscan.hpp"

namespace lq::kernels::dbscan {
namespace {

constexpr int32_t kNone = std::numeric_limits<int32_t>::max();

// One colour in this many of each unsettled group is counted first, so that settled cores lie
// within eps of the others.
constexpr int32_t kSampleSpacing = 4 * kLeafSize;

// Rounds before every remaining flag is counted; noise-like images settle in a few.
constexpr int kMaxRounds = 24;

// When the first round leaves more than this share of the unsettled colours to be counted one by one,
// the sampled cores do not cover them (photos with sparse colours near the threshold): every flag is
// then counted group by group, which costs less than one by one.
constexpr int64_t kGiveUpShare = 4;  // 1 in 4

// Smallest and largest cluster number over a set of colours; lo == kNone when the set is empty.
struct Range {
    int32_t lo = kNone;
    int32_t hi = -1;

    void add(int32_t lo_, int32_t hi_) {
        lo = std::min(lo, lo_);
        hi = std::max(hi, hi_);
    }
    bool single() const { return lo == hi; }
};

class Rounds {
public:
    Rounds(const Tree& tree, int64_t min_samples, std::vector<uint8_t>& core, Stop& stop)
        : tree_(tree),
          need_(min_samples),
          core_(core),
          stop_(stop),
          settled_(tree.nodes.size()),
          unsettled_(tree.nodes.size()),
          cluster_(core.size(), -1),
          marked_(core.size(), 0) {}

    std::vector<int32_t> run() {
        take_samples();
        bool new_cores = true;
        for (int round = 0;; ++round) {
            if (round == kMaxRounds) new_cores = settle_all() || new_cores;
            if (new_cores) {
                sure_.assign(core_.size(), 0);
                for (size_t i = 0; i < core_.size(); ++i) sure_[i] = core_[i] == kCore;
                label_ = number_core_clusters(tree_, sure_, stop_);
                settled_ranges();
                if (!assign_clusters(round == 0 ? unsettled_count() / kGiveUpShare : kNone)) {
                    count_every_flag();
                    continue;
                }
            }  // else the colours just counted are non-cores, and the clusters stand as they were
            if (pending_.empty()) {
                unsettled_ranges();
                check_pairs();
                check_numbering();
            }
            if (pending_.empty()) break;
            new_cores = settle_pending();
        }
        label_borders();
        for (int32_t i = 0; i < static_cast<int32_t>(core_.size()); ++i)
            if (core_[i] == kUnsettled) label_[i] = cluster_[i];  // its label whether core or border
        return std::move(label_);
    }

private:
    void mark(int32_t i) {
        if (marked_[i]) return;
        marked_[i] = 1;
        pending_.push_back(i);
    }

    void take_samples() {
        for (int32_t i = 0; i < static_cast<int32_t>(core_.size()); i += kSampleSpacing)
            for (int32_t j = i; j < std::min<int32_t>(i + kSampleSpacing, core_.size()); ++j)
                if (core_[j] == kUnsettled) {
                    mark(j);
                    break;
                }
        settle_pending();
    }

    // Counts the pending colours; whether any is a core.
    bool settle_pending() {
        settle_cores(tree_, need_, pending_, core_, stop_);
        bool cores = false;
        for (int32_t i : pending_) {
            marked_[i] = 0;
            cores = cores || core_[i] == kCore;
        }
        pending_.clear();
        return cores;
    }

    void count_every_flag() {
        for (int32_t i : pending_) marked_[i] = 0;
        pending_.clear();
        core_ = find_cores(tree_, need_, false, stop_);
    }

    bool settle_all() {
        for (int32_t i = 0; i < static_cast<int32_t>(core_.size()); ++i)
            if (core_[i] == kUnsettled) mark(i);
        return settle_pending();
    }

    // Per node, the range of clusters over `member` positions with cluster numbers `of`.
    template <class Member>
    void node_ranges(std::vector<Range>& ranges, const std::vector<int32_t>& of, Member member) const {
        for (int32_t n = static_cast<int32_t>(tree_.nodes.size()) - 1; n >= 0; --n) {
            const Node& node = tree_.nodes[n];
            ranges[n] = Range{};
            if (!node.used()) continue;
            if (node.leaf()) {
                for (int32_t i = node.begin; i < node.end; ++i)
                    if (member(i)) ranges[n].add(of[i], of[i]);
            } else {
                for (int32_t child : {first_child(n), first_child(n) + 1})
                    ranges[n].add(ranges[child].lo, ranges[child].hi);
            }
        }
    }

    void settled_ranges() {
        node_ranges(settled_, label_, [this](int32_t i) { return sure_[i] != 0; });
    }

    void unsettled_ranges() {
        node_ranges(unsettled_, cluster_, [this](int32_t i) { return core_[i] == kUnsettled; });
    }

    // The clusters of the settled cores within eps of the points of `at`, and whether some settled
    // core is surely within eps of all of them. With `point`, `at` is one colour and leaves are
    // checked pair by pair; stops early at a second cluster.
    Range settled_within(const Bounds& at, bool point, bool* sure) {
        Range found;
        *sure = false;
        const Point p{{at.lo[0], at.lo[1], at.lo[2]}};
        stack_.assign(1, 0);
        while (!stack_.empty() && found.lo >= found.hi) {
            const int32_t n = stack_.back();
            stack_.pop_back();
            const Range& range = settled_[n];
            if (range.lo == kNone) continue;
            if (*sure && range.lo == found.lo && range.hi == found.hi) continue;  // nothing new
            const Node& node = tree_.nodes[n];
            if (least(at, node.box) > kEpsSquared) continue;
            if (most(at, node.box) <= kEpsSquared) {
                found.add(range.lo, range.hi);
                *sure = true;
            } else if (!node.leaf()) {
                push_nearer_last(at, n);
            } else if (!point) {
                found.add(range.lo, range.hi);
            } else {
                for (int32_t j = node.begin; j < node.end; ++j)
                    if (sure_[j] && distance2(p, tree_.at(j)) <= kEpsSquared) {
                        found.add(label_[j], label_[j]);
                        *sure = true;
                    }
            }
        }
        return found;
    }

    void push_nearer_last(const Bounds& at, int32_t n) {
        const int32_t left = first_child(n), right = left + 1;
        const bool left_nearer = least(at, tree_.nodes[left].box) <= least(at, tree_.nodes[right].box);
        stack_.push_back(left_nearer ? right : left);
        stack_.push_back(left_nearer ? left : right);
    }

    int64_t unsettled_count() const { return std::count(core_.begin(), core_.end(), kUnsettled); }

    // Each unsettled colour's cluster, when it has settled cores of one cluster within eps; else it
    // is counted. A leaf whose every colour surely has them is assigned whole.
    // False, leaving the assignment unfinished, once more than `limit` colours are to be counted.
    bool assign_clusters(int64_t limit) {
        for (int32_t n = 0; n < static_cast<int32_t>(tree_.nodes.size()); ++n) {
            const Node& node = tree_.nodes[n];
            if (!node.used() || !node.leaf()) continue;
            int32_t open = 0;
            for (int32_t i = node.begin; i < node.end; ++i) {
                cluster_[i] = -1;
                open += core_[i] == kUnsettled;
            }
            if (static_cast<int64_t>(pending_.size()) > limit) return false;
            if (!open) continue;
            stop_.poll();
            bool surely_all = false, sure = false;
            const Range whole = settled_within(node.box, false, &surely_all);
            for (int32_t i = node.begin; i < node.end; ++i) {
                if (core_[i] != kUnsettled) continue;
                if (surely_all && whole.single()) {
                    cluster_[i] = whole.lo;
                    continue;
                }
                const Range own = settled_within(point_bounds(tree_.at(i)), true, &sure);
                if (sure && own.single()) cluster_[i] = own.lo;
                else mark(i);
            }
        }
        return static_cast<int64_t>(pending_.size()) <= limit;
    }

    // Unsettled colours within eps of an unsettled colour of another cluster.
    void check_pairs() {
        if (unsettled_[0].single()) return;
        for (int32_t i = 0; i < static_cast<int32_t>(core_.size()); ++i) {
            if ((i & 255) == 0) stop_.poll();
            if (core_[i] == kUnsettled && other_cluster_within(i)) mark(i);
        }
    }

    bool other_cluster_within(int32_t i) {
        const Point p = tree_.at(i);
        const Bounds at = point_bounds(p);
        const int32_t own = cluster_[i];
        stack_.assign(1, 0);
        while (!stack_.empty()) {
            const int32_t n = stack_.back();
            stack_.pop_back();
            const Range& range = unsettled_[n];
            if (range.lo == kNone || (range.lo == own && range.hi == own)) continue;
            const Node& node = tree_.nodes[n];
            if (least(at, node.box) > kEpsSquared) continue;
            if (most(at, node.box) <= kEpsSquared) return true;
            if (!node.leaf()) {
                push_nearer_last(at, n);
                continue;
            }
            for (int32_t j = node.begin; j < node.end; ++j)
                if (core_[j] == kUnsettled && cluster_[j] != own && distance2(p, tree_.at(j)) <= kEpsSquared)
                    return true;
        }
        return false;
    }

    // Clusters are numbered by their first core in colour order: an unsettled colour of cluster c that
    // comes before the first settled core of cluster c - 1 could, as a core, move c ahead of it.
    void check_numbering() {
        std::vector<int32_t> first;  // colour index of each cluster's first settled core
        for (int32_t i = 0; i < static_cast<int32_t>(core_.size()); ++i) {
            if (!sure_[i]) continue;
            if (static_cast<size_t>(label_[i]) >= first.size()) first.resize(label_[i] + 1, kNone);
            first[label_[i]] = std::min(first[label_[i]], tree_.index[i]);
        }
        for (int32_t i = 0; i < static_cast<int32_t>(core_.size()); ++i)
            if (core_[i] == kUnsettled && cluster_[i] > 0 && tree_.index[i] < first[cluster_[i] - 1]) mark(i);
    }

    // A non-core takes the smallest cluster among the cores within eps. Unsettled colours there of a
    // smaller cluster than its settled cores' are counted now, smallest cluster first, until one is a
    // core. A colour counted here joins the cluster it was assigned (the checks before leave it no
    // other), so the round's clusters stay valid, and a later count cannot put a smaller cluster within
    // eps of a non-core already labelled.
    void label_borders() {
        for (int32_t i = 0; i < static_cast<int32_t>(core_.size()); ++i) {
            if ((i & 255) == 0) stop_.poll();
            if (core_[i] != kNotCore) continue;
            int32_t bound = smallest_settled_within(i);
            for (int32_t j = unsettled_below(i, bound); j >= 0; j = unsettled_below(i, bound)) {
                one_[0] = j;
                settle_cores(tree_, need_, one_, core_, stop_);
                label_[j] = cluster_[j];  // core or border, as it was assigned
                if (core_[j] == kCore) {
                    bound = cluster_[j];
                    add_settled_core(j);
                }
            }
            label_[i] = bound == kNone ? -1 : bound;
        }
    }

    void add_settled_core(int32_t j) {
        sure_[j] = 1;
        for (int32_t n = 0;;) {
            settled_[n].add(label_[j], label_[j]);
            if (tree_.nodes[n].leaf()) break;
            n = j < tree_.nodes[first_child(n)].end ? first_child(n) : first_child(n) + 1;
        }
    }

    int32_t smallest_settled_within(int32_t i) {
        const Point p = tree_.at(i);
        const Bounds at = point_bounds(p);
        int32_t best = kNone;
        stack_.assign(1, 0);
        while (!stack_.empty()) {
            const int32_t n = stack_.back();
            stack_.pop_back();
            if (settled_[n].lo >= best) continue;
            const Node& node = tree_.nodes[n];
            if (least(at, node.box) > kEpsSquared) continue;
            if (most(at, node.box) <= kEpsSquared) {
                best = settled_[n].lo;
            } else if (!node.leaf()) {
                push_nearer_last(at, n);
            } else {
                for (int32_t j = node.begin; j < node.end; ++j)
                    if (sure_[j] && label_[j] < best && distance2(p, tree_.at(j)) <= kEpsSquared) best = label_[j];
            }
        }
        return best;
    }

    // The unsettled colour of the smallest cluster below `bound` within eps of colour i, or -1.
    int32_t unsettled_below(int32_t i, int32_t bound) {
        const Point p = tree_.at(i);
        const Bounds at = point_bounds(p);
        int32_t found = -1;
        stack_.assign(1, 0);
        while (!stack_.empty()) {
            const int32_t n = stack_.back();
            stack_.pop_back();
            if (unsettled_[n].lo >= bound) continue;
            const Node& node = tree_.nodes[n];
            if (least(at, node.box) > kEpsSquared) continue;
            const bool inside = most(at, node.box) <= kEpsSquared;
            if (!inside && !node.leaf()) {
                push_nearer_last(at, n);
                continue;
            }
            for (int32_t j = node.begin; j < node.end; ++j)
                if (core_[j] == kUnsettled && cluster_[j] < bound &&
                    (inside || distance2(p, tree_.at(j)) <= kEpsSquared)) {
                    bound = cluster_[j];
                    found = j;
                }
        }
        return found;
    }

    const Tree& tree_;
    const int64_t need_;
    std::vector<uint8_t>& core_;
    Stop& stop_;
    std::vector<uint8_t> sure_;     // settled cores
    std::vector<Range> settled_;    // per node: clusters of its settled cores
    std::vector<Range> unsettled_;  // per node: clusters assigned to its unsettled colours
    std::vector<int32_t> cluster_;  // per unsettled colour: the one cluster of its settled cores
    std::vector<uint8_t> marked_;   // in pending_
    std::vector<int32_t> pending_;  // to be counted before the next round
    std::vector<int32_t> stack_;
    std::vector<int32_t> one_ = {0};
    std::vector<int32_t> label_;  // cluster of each settled core, -1 elsewhere
};

}  // namespace

std::vector<int32_t> label_positions(const Tree& tree, int64_t min_samples, std::vector<uint8_t>& core, Stop& stop) {
    return Rounds(tree, min_samples, core, stop).run();
}

}  // namespace lq::kernels::dbscan
