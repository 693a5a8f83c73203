#include "kernels/colour_distribution.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "kernels/clones.hpp"
#include "kernels/colour_table.hpp"

namespace lq::kernels {
namespace {

// Above this many distinct colours, the split sees cells of 2 x 2 x 2 sRGB levels instead (each with its
// colours' exact mean and spread): a camera's photo holds three to five times fewer cells than colours,
// and the few colours of graphics stay exact.
constexpr std::size_t pooled_above = std::size_t{1} << 18;

// A leaf's priority is mass * (rms + lump_spread), rms its spread in the warped space. A leaf straddling
// the edge of a query's ball is misjudged by a part of its mass that shrinks with its spread but not
// below a floor: its colours are lumps of 8-bit levels, and the ball curves away from the estimator's
// plane. Ranking by mass * rms alone left heavy, narrow leaves (a sky, a dark coat) whole, and at small
// tolerances they made the largest errors. With 3, such leaves split while their spread is under about 3
// units (chosen on benchmarks/bench_share_precision.py).
constexpr double lump_spread = 3.0;

// The key of an sRGB colour: the upper 7 bits of R, G, B, then their lowest bits, so that the 8 colours
// of a cell are consecutive keys.
struct KeyParts {
    std::uint32_t red[256], green[256], blue[256];
    KeyParts() {
        for (std::uint32_t v = 0; v < 256; ++v) {
            red[v] = (v >> 1) << 17 | (v & 1) << 2;
            green[v] = (v >> 1) << 10 | (v & 1) << 1;
            blue[v] = (v >> 1) << 3 | (v & 1);
        }
    }
};
const KeyParts key_parts;

// The distinct colours of the analysed pixels, in ascending key order.
struct Distinct {
    LargeVector<std::uint32_t> keys;
    LargeVector<std::uint32_t> counts;
    std::uint64_t total = 0;
};

// visit(key) for every analysed pixel, row by row; polls `stop` once per image row.
template <class Visit>
void each_analysed(const ImagePixels& image, Stop& stop, Visit&& visit) {
    const std::ptrdiff_t channel = image.channel_stride, step = image.column_stride;
    const KeyParts& parts = key_parts;
    auto key = [channel, &parts](const std::uint8_t* pixel) {
        return parts.red[pixel[2 * channel]] | parts.green[pixel[channel]] | parts.blue[pixel[0]];
    };
    for (std::ptrdiff_t y = 0; y < image.height; ++y) {
        stop.poll();
        const std::uint8_t* pixel = image.data + y * image.row_stride;
        if (!image.mask) {
            // Packed B, G, R rows (cv2.imread's) get a loop of their own, which the compiler can make tight.
            if (channel == 1 && step == 3) {
                for (std::ptrdiff_t x = 0; x < image.width; ++x, pixel += 3)
                    visit(parts.red[pixel[2]] | parts.green[pixel[1]] | parts.blue[pixel[0]]);
            } else {
                for (std::ptrdiff_t x = 0; x < image.width; ++x, pixel += step) visit(key(pixel));
            }
            continue;
        }
        const std::uint8_t* inside = image.mask + y * image.mask_row_stride;
        for (std::ptrdiff_t x = 0; x < image.width; ++x, pixel += step)
            if (inside[x * image.mask_column_stride] > 128) visit(key(pixel));
    }
}

// The distinct colours and their counts, grouped by the keys' upper 8 bits: one pass over the pixels
// counts each group's, a second files every pixel's lower 16 key bits under its group, and each group is
// then counted in a table of 2^16 entries (256 KB, which the cache holds) and read back in key order
// through a bitmap of the entries it touched. Two bytes a pixel, where a table of every colour takes 64 MB
// whose pages each call faults in afresh, and one method whatever the image's size.
void count_distinct(const ImagePixels& image, Stop& stop, Distinct& distinct) {
    constexpr int low_bits = 16;
    constexpr std::size_t groups = std::size_t{1} << (24 - low_bits), group_keys = std::size_t{1} << low_bits;
    std::vector<std::size_t> start(groups + 1, 0);
    each_analysed(image, stop, [&](std::uint32_t key) { ++start[(key >> low_bits) + 1]; });
    std::size_t most = 0;  // distinct colours, at most
    for (std::size_t group = 0; group < groups; ++group) {
        most += std::min(start[group + 1], group_keys);
        start[group + 1] += start[group];
    }
    std::vector<std::size_t> end(start.begin(), start.end() - 1);
    const std::unique_ptr<std::uint16_t[], FreeMemory> lows(
        static_cast<std::uint16_t*>(large_buffer(start[groups] * sizeof(std::uint16_t))));
    each_analysed(image, stop, [&](std::uint32_t key) {
        std::size_t& at = end[key >> low_bits];
        // Another thread writing to the image between the passes may move pixels between groups: a
        // group's pixels never run past its room.
        if (at < start[(key >> low_bits) + 1]) lows[at++] = static_cast<std::uint16_t>(key);
    });
    // Reserved, not sized: the pages past the colours found are never touched.
    distinct.keys.reserve(most);
    distinct.counts.reserve(most);
    std::vector<std::uint32_t> counts(group_keys, 0);
    std::vector<std::uint64_t> seen(group_keys / 64, 0);
    for (std::size_t group = 0; group < groups; ++group) {
        if (end[group] == start[group]) continue;
        stop.poll();
        for (std::size_t i = start[group]; i < end[group]; ++i) {
            const std::uint16_t low = lows[i];
            ++counts[low];
            seen[low >> 6] |= std::uint64_t{1} << (low & 63);
        }
        // Read back and cleared together, so the next group finds both tables zero.
        const auto high = static_cast<std::uint32_t>(group << low_bits);
        for (std::size_t word = 0; word < group_keys / 64; ++word) {
            std::uint64_t bits = seen[word];
            if (!bits) continue;
            seen[word] = 0;
            for (; bits; bits &= bits - 1) {
                const auto low =
                    static_cast<std::uint32_t>(word * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
                distinct.keys.push_back(high | low);
                distinct.counts.push_back(counts[low]);
                distinct.total += counts[low];
                counts[low] = 0;
            }
        }
    }
}

// `condition ? yes : no` of values computed either way, by their bits: the compiler keeps a plain select
// of a floating-point product as a branch (the product might trap), which stops a loop from vectorising.
inline double pick(bool condition, double yes, double no) noexcept {
    const std::uint64_t mask = -static_cast<std::uint64_t>(condition);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(yes) & mask) |
                                 (std::bit_cast<std::uint64_t>(no) & ~mask));
}

// The cube root of x in [0, 1] (CIE f's argument), to a few units in the last place: scaled by powers of 8
// into [1/8, 1], where a polynomial gives x^(-1/3) to 0.4 % and three Newton steps (each squares the
// error) give it to rounding; then cbrt(x) = x x^(-1/3)^2. Branch-free arithmetic, so that a loop of
// these vectorises, which the library's cbrt does not.
inline double cube_root(double x) noexcept {
    // x > (6/29)^3 > 1/512 wherever the root is used, so two scalings reach [1/8, 1].
    const bool small = std::isless(x, 0.125);
    const double once = pick(small, x * 8, x);
    const bool smaller = std::isless(once, 0.125);
    const double reduced = pick(smaller, once * 8, once);
    const double scale = pick(small, pick(smaller, 0.25, 0.5), 1.0);
    // Least squares on Chebyshev nodes of [1/8, 1].
    double z = ((((-8.66573308 * reduced + 28.9428712) * reduced - 38.13374379) * reduced + 25.42042771) * reduced -
                9.40610046) *
                   reduced +
               2.8396989;
    z = z + z * (1 - reduced * (z * z * z)) * (1.0 / 3);
    z = z + z * (1 - reduced * (z * z * z)) * (1.0 / 3);
    z = z + z * (1 - reduced * (z * z * z)) * (1.0 / 3);
    return reduced * (z * z) * scale;
}

// log1p(u) for u in [0, 6.5] (0.045 times a chroma of up to 144) to two units in the last place:
// 1 + u = 2^k v with v in [sqrt(1/2), sqrt(2)], log v = 2 atanh(s) with s = (v - 1) / (v + 1), |s| <
// 0.172, whose series in s^2 is summed to below rounding. s is formed from u itself, so small u keep
// their digits. Branch-free, like cube_root.
inline double log_1_plus(double u) noexcept {
    const bool above1 = std::isgreater(u, 0.41421356237309515), above2 = std::isgreater(u, 1.8284271247461903),
               above3 = std::isgreater(u, 4.656854249492381);
    const double k = pick(above3, 3.0, pick(above2, 2.0, pick(above1, 1.0, 0.0)));
    const double power = pick(above3, 8.0, pick(above2, 4.0, pick(above1, 2.0, 1.0)));
    const double s = (u - (power - 1)) / (u + 1 + power);
    const double s2 = s * s;
    // 2 atanh(s) = 2 s + 2 s series, series = s^2 / 3 + s^4 / 5 + ... + s^24 / 25.
    constexpr double c[12] = {1.0 / 3,  1.0 / 5,  1.0 / 7,  1.0 / 9,  1.0 / 11, 1.0 / 13,
                              1.0 / 15, 1.0 / 17, 1.0 / 19, 1.0 / 21, 1.0 / 23, 1.0 / 25};
    double series = c[11];
    for (int n = 10; n >= 0; --n) series = series * s2 + c[n];
    series *= s2;
    constexpr double ln2_high = 6.93147180369123816490e-01, ln2_low = 1.90821492927058770002e-10;
    return k * ln2_high + (2 * s + 2 * s * series + k * ln2_low);
}

// CIELAB of 8-bit sRGB colours as lumvarde_quorle/cielab.py's srgb_to_lab computes it, with the same
// constants, in double precision: IEC 61966-2-1's transfer function and primaries, the white the
// primaries add up to, CIE 15's f.
struct LabConstants {
    double linear[256];
    double white[3];
    double epsilon, slope;

    LabConstants() {
        for (int value = 0; value < 256; ++value) {
            const double v = value / 255.0;
            linear[value] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        }
        for (int row = 0; row < 3; ++row) white[row] = matrix[row][0] + matrix[row][1] + matrix[row][2];
        epsilon = std::pow(6.0 / 29, 3);
        slope = 3 * std::pow(6.0 / 29, 2);
    }

    static constexpr double matrix[3][3] = {
        {0.4124564, 0.3575761, 0.1804375},
        {0.2126729, 0.7151522, 0.0721750},
        {0.0193339, 0.1191920, 0.9503041},
    };
};

// A block of distinct colours in CIELAB and in the warped space (whose first axis is L*), side by side.
constexpr std::size_t block = 256;
struct Converted {
    double l[block], a[block], b[block], w1[block], w2[block];
};

// Compiled twice, for processors with AVX2 and for any; element-wise, so both give the same.
LQ_CLONES void convert(const std::uint32_t* __restrict keys, std::size_t count, const LabConstants& constants,
                       Converted& out) {
    double red[block], green[block], blue[block];
    for (std::size_t i = 0; i < count; ++i) {
        red[i] = constants.linear[(keys[i] >> 16 & 0xfe) | (keys[i] >> 2 & 1)];
        green[i] = constants.linear[(keys[i] >> 9 & 0xfe) | (keys[i] >> 1 & 1)];
        blue[i] = constants.linear[(keys[i] >> 2 & 0xfe) | (keys[i] & 1)];
    }
    for (std::size_t i = 0; i < count; ++i) {
        const double rgb[3] = {red[i], green[i], blue[i]};
        double f[3];
#pragma GCC unroll 3
        for (int row = 0; row < 3; ++row) {
            const double* m = LabConstants::matrix[row];
            const double relative = (m[0] * rgb[0] + m[1] * rgb[1] + m[2] * rgb[2]) / constants.white[row];
            const double root = cube_root(relative);
            const double line = relative / constants.slope + 4.0 / 29;
            f[row] = pick(std::isgreater(relative, constants.epsilon), root, line);
        }
        const double l = 116 * f[1] - 16, a = 500 * (f[0] - f[1]), b = 200 * (f[1] - f[2]);
        const double chroma = std::sqrt(a * a + b * b);
        const double radius = log_1_plus(0.045 * chroma) / 0.045;
        const double divisor = pick(std::isgreater(chroma, 0.0), chroma, 1.0);  // a = b = 0 then, and so is the radius
        out.l[i] = l;
        out.a[i] = a;
        out.b[i] = b;
        out.w1[i] = radius * (a / divisor);
        out.w2[i] = radius * (b / divisor);
    }
}

// A distinct colour, or a cell of them, as the split sees it.
struct Point {
    double w[3];      // warped coordinates (the pixel-weighted mean of a cell's)
    double inner[3];  // a cell's pixel-weighted squared deviations from that mean, per axis; 0 for a colour
    std::uint32_t count;
    std::uint32_t rank;  // in key order
};

// Pixel-weighted sums over points, about a fixed shift.
struct Sums {
    double mass = 0;
    double first[3] = {0, 0, 0};   // of count * (w - shift)
    double second[3] = {0, 0, 0};  // of count * (w - shift)^2
};

struct Leaf {
    std::size_t begin, end;  // its points
    double mass;             // pixels
    double mean[3];          // of W
    double squares[3];       // per axis, the pixel-weighted squared deviations from the mean
    double priority;         // mass * (rms + lump_spread); 0 for a final leaf
    std::size_t order;       // of creation
};

Leaf make_leaf(std::size_t begin, std::size_t end, const Sums& sums, const double shift[3], std::size_t order) {
    Leaf leaf{begin, end, sums.mass, {}, {}, 0.0, order};
    double sse = 0;
    for (int axis = 0; axis < 3; ++axis) {
        const double offset = sums.first[axis] / sums.mass;
        leaf.mean[axis] = shift[axis] + offset;
        leaf.squares[axis] = std::max(0.0, sums.second[axis] - sums.first[axis] * offset);
        sse += leaf.squares[axis];
    }
    if (end - begin > 1 && sse > 0) leaf.priority = std::sqrt(sums.mass * sse) + lump_spread * sums.mass;
    return leaf;
}

Sums sum(const LargeVector<Point>& points, std::size_t begin, std::size_t end, const double shift[3]) {
    Sums sums;
    for (std::size_t i = begin; i < end; ++i) {
        const Point& point = points[i];
        const double count = point.count;
        sums.mass += count;
        for (int axis = 0; axis < 3; ++axis) {
            const double deviation = point.w[axis] - shift[axis];
            sums.first[axis] += count * deviation;
            sums.second[axis] += count * deviation * deviation + point.inner[axis];
        }
    }
    return sums;
}

// Moves a leaf's points at or below `cut` on `axis` to its front, keeping the order on both sides, and
// sums the others about the leaf's mean; returns where they begin. Branch-free: the side of a point is
// as unpredictable as a coin.
std::size_t partition(LargeVector<Point>& points, LargeVector<Point>& scratch, const Leaf& leaf, int axis, double cut,
                      Sums& right_sums) {
    std::size_t left = leaf.begin, right = 0;
    for (std::size_t i = leaf.begin; i < leaf.end; ++i) {
        const Point point = points[i];
        const bool goes_right = point.w[axis] > cut;
        points[left] = point;
        scratch[right] = point;
        left += !goes_right;
        right += goes_right;
        const double count = goes_right ? static_cast<double>(point.count) : 0.0;
        right_sums.mass += count;
        for (int k = 0; k < 3; ++k) {
            const double deviation = point.w[k] - leaf.mean[k];
            right_sums.first[k] += count * deviation;
            right_sums.second[k] += count * deviation * deviation + (goes_right ? point.inner[k] : 0.0);
        }
    }
    std::copy(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(right),
              points.begin() + static_cast<std::ptrdiff_t>(left));
    return left;
}

// Sorts a leaf's points on `axis` (ties by colour) and returns the end of the prefix that first holds
// half its pixels, leaving at least one point on each side.
std::size_t median_split(LargeVector<Point>& points, const Leaf& leaf, int axis) {
    const auto begin = points.begin() + static_cast<std::ptrdiff_t>(leaf.begin);
    std::sort(begin, points.begin() + static_cast<std::ptrdiff_t>(leaf.end), [axis](const Point& a, const Point& b) {
        return a.w[axis] < b.w[axis] || (a.w[axis] == b.w[axis] && a.rank < b.rank);
    });
    double running = 0;
    std::size_t cut = leaf.begin;
    while (cut < leaf.end - 1) {
        running += points[cut++].count;
        if (2 * running >= leaf.mass) break;
    }
    return cut;
}

std::vector<Leaf> split(LargeVector<Point>& points, LargeVector<Point>& scratch, Stop& stop) {
    std::vector<Leaf> leaves;
    leaves.reserve(distribution_leaves);
    const double origin[3] = {0, 0, 0};
    const Leaf whole = make_leaf(0, points.size(), sum(points, 0, points.size(), origin), origin, 0);
    leaves.push_back(make_leaf(0, points.size(), sum(points, 0, points.size(), whole.mean), whole.mean, 0));
    std::size_t made = 1;
    // Of the leaves that can split, the one of largest priority on top; on ties the one made first.
    auto below = [&leaves](std::size_t a, std::size_t b) {
        return leaves[a].priority < leaves[b].priority ||
               (leaves[a].priority == leaves[b].priority && leaves[a].order > leaves[b].order);
    };
    std::vector<std::size_t> splittable;
    if (leaves[0].priority > 0) splittable.push_back(0);
    scratch.resize(points.size());
    while (leaves.size() < distribution_leaves && !splittable.empty()) {
        stop.poll();
        std::pop_heap(splittable.begin(), splittable.end(), below);
        const std::size_t index = splittable.back();
        splittable.pop_back();
        const Leaf parent = leaves[index];
        const int axis = static_cast<int>(std::max_element(parent.squares, parent.squares + 3) - parent.squares);
        Sums right;
        std::size_t cut = partition(points, scratch, parent, axis, parent.mean[axis], right);
        if (cut == parent.begin || cut == parent.end) {
            cut = median_split(points, parent, axis);
            right = sum(points, cut, parent.end, parent.mean);
        }
        // The left side's sums are the parent's less the right side's: about the parent's mean, its
        // first sums are zero and its second sums its squares.
        Sums left;
        left.mass = parent.mass - right.mass;
        for (int k = 0; k < 3; ++k) {
            left.first[k] = -right.first[k];
            left.second[k] = parent.squares[k] - right.second[k];
        }
        leaves[index] = make_leaf(parent.begin, cut, left, parent.mean, made++);
        leaves.push_back(make_leaf(cut, parent.end, right, parent.mean, made++));
        for (const std::size_t child : {index, leaves.size() - 1}) {
            if (leaves[child].priority <= 0) continue;
            splittable.push_back(child);
            std::push_heap(splittable.begin(), splittable.end(), below);
        }
    }
    return leaves;
}

struct Record {
    std::uint16_t weight;
    std::array<double, 3> lab;
    std::array<double, 3> stored;  // lab as the half floats give it back
    std::uint8_t spread[3];
    std::size_t order;
};

std::uint8_t spread_code(double sigma) noexcept {
    if (sigma == 0) return 0;
    const double code = std::round((std::log2(sigma) + 5) * 16);
    return static_cast<std::uint8_t>(std::clamp(code, 1.0, 255.0));
}

// A leaf's mean CIELAB colour (L* is the first warped axis) and spread, summed afresh about its own mean.
Record describe(const LargeVector<Point>& points, const Leaf& leaf, const LargeVector<double>& a,
                const LargeVector<double>& b, double total) {
    Record record{static_cast<std::uint16_t>(std::round(leaf.mass * 65535.0 / total)), {}, {}, {0, 0, 0}, leaf.order};
    if (leaf.end - leaf.begin == 1) {
        const Point& only = points[leaf.begin];
        record.lab = {only.w[0], a[only.rank], b[only.rank]};
        for (int axis = 0; axis < 3; ++axis) record.spread[axis] = spread_code(std::sqrt(only.inner[axis] / leaf.mass));
        return record;
    }
    double mean[3] = {0, 0, 0}, lab_a = 0, lab_b = 0;
    for (std::size_t i = leaf.begin; i < leaf.end; ++i) {
        const Point& point = points[i];
        for (int axis = 0; axis < 3; ++axis) mean[axis] += point.count * point.w[axis];
        lab_a += point.count * a[point.rank];
        lab_b += point.count * b[point.rank];
    }
    for (double& axis : mean) axis /= leaf.mass;
    record.lab = {mean[0], lab_a / leaf.mass, lab_b / leaf.mass};
    double squares[3] = {0, 0, 0};
    for (std::size_t i = leaf.begin; i < leaf.end; ++i)
        for (int axis = 0; axis < 3; ++axis) {
            const double deviation = points[i].w[axis] - mean[axis];
            squares[axis] += points[i].count * deviation * deviation + points[i].inner[axis];
        }
    for (int axis = 0; axis < 3; ++axis) record.spread[axis] = spread_code(std::sqrt(squares[axis] / leaf.mass));
    return record;
}

// IEEE half-float bits of a double, rounded to nearest even (no detour through float, which could round
// twice).
std::uint16_t half_bits(double value) noexcept {
    const std::uint16_t sign = std::signbit(value) ? 0x8000 : 0;
    const double magnitude = std::fabs(value);
    if (std::isnan(value)) return sign | 0x7e00;
    if (magnitude >= 65520.0) return sign | 0x7c00;  // rounds to infinity
    // Subnormal: whole multiples of 2^-24; rounding up to 1024 of them gives the smallest normal's bits.
    if (magnitude < 0x1p-14) return sign | static_cast<std::uint16_t>(std::nearbyint(magnitude * 0x1p24));
    int exponent = 0;
    std::frexp(magnitude, &exponent);  // magnitude = m 2^exponent, 0.5 <= m < 1
    // 11 significant bits, 1024 to 2048; 2048 carries into the exponent field by the addition itself.
    const int significand = static_cast<int>(std::nearbyint(std::ldexp(magnitude, 11 - exponent)));
    return sign | static_cast<std::uint16_t>(((exponent + 14) << 10) + significand - 1024);
}

// The value of half-float bits (finite ones: the records hold no others).
double half_value(std::uint16_t bits) noexcept {
    const int exponent = (bits >> 10) & 0x1f, fraction = bits & 0x3ff;
    const double magnitude = exponent == 0 ? std::ldexp(fraction, -24) : std::ldexp(fraction + 1024, exponent - 25);
    return bits & 0x8000 ? -magnitude : magnitude;
}

void put_16(std::uint8_t* out, std::uint16_t value) noexcept {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

// The buffers of one call.
struct Workspace {
    Distinct distinct;
    LargeVector<Point> points, scratch;
    LargeVector<double> a, b;
};

// One point per cell of 2 x 2 x 2 sRGB levels (its colours have consecutive keys): the pixel-weighted
// mean of its colours' W and CIELAB a*, b*, and their squared deviations from the mean. Sums run about
// the cell's first colour, which keeps them small, and keeps a cell of one colour exact.
void pool_cells(const Distinct& distinct, const LabConstants& constants, Converted& converted,
                LargeVector<Point>& points, LargeVector<double>& a, LargeVector<double>& b) {
    const std::size_t colours = distinct.keys.size();
    double origin[5] = {}, first[5] = {}, second[3] = {}, mass = 0;
    std::uint32_t cell = 0, count = 0;
    auto finish = [&] {
        Point point{{}, {}, count, static_cast<std::uint32_t>(points.size())};
        for (int k = 0; k < 3; ++k) {
            point.w[k] = origin[k] + first[k] / mass;
            point.inner[k] = std::max(0.0, second[k] - first[k] * (first[k] / mass));
        }
        points.push_back(point);
        a.push_back(origin[3] + first[3] / mass);
        b.push_back(origin[4] + first[4] / mass);
    };
    for (std::size_t start = 0; start < colours; start += block) {
        const std::size_t size = std::min(block, colours - start);
        convert(distinct.keys.data() + start, size, constants, converted);
        for (std::size_t i = 0; i < size; ++i) {
            const double value[5] = {converted.l[i], converted.w1[i], converted.w2[i], converted.a[i], converted.b[i]};
            const std::uint32_t key = distinct.keys[start + i], pixels = distinct.counts[start + i];
            if (start + i == 0 || key >> 3 != cell) {
                if (start + i) finish();
                cell = key >> 3;
                count = 0;
                mass = 0;
                std::copy(value, value + 5, origin);
                std::fill(first, first + 5, 0.0);
                std::fill(second, second + 3, 0.0);
            }
            count += pixels;
            mass += pixels;
            for (int k = 0; k < 5; ++k) {
                const double deviation = value[k] - origin[k];
                first[k] += pixels * deviation;
                if (k < 3) second[k] += pixels * deviation * deviation;
            }
        }
    }
    if (colours) finish();
}

}  // namespace

std::vector<std::uint8_t> colour_distribution(const ImagePixels& image, Stop& stop) {
    // Counts are 32-bit: a colour of more pixels could wrap.
    if (image.pixels() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("colour distribution of more than 2^32 - 1 pixels");
    Workspace work;
    Distinct& distinct = work.distinct;
    count_distinct(image, stop, distinct);
    if (distinct.total == 0) return {};
    const LabConstants constants;
    const std::size_t colours = distinct.keys.size();
    LargeVector<Point>& points = work.points;
    LargeVector<double>&a = work.a, &b = work.b;
    Converted converted;
    if (colours <= pooled_above) {
        points.resize(colours);
        a.resize(colours);
        b.resize(colours);
        for (std::size_t first = 0; first < colours; first += block) {
            const std::size_t count = std::min(block, colours - first);
            convert(distinct.keys.data() + first, count, constants, converted);
            for (std::size_t i = 0; i < count; ++i) {
                const auto rank = static_cast<std::uint32_t>(first + i);
                points[rank] =
                    Point{{converted.l[i], converted.w1[i], converted.w2[i]}, {0, 0, 0}, distinct.counts[rank], rank};
                a[rank] = converted.a[i];
                b[rank] = converted.b[i];
            }
        }
    } else {
        // Reserved at their exact size: grown one cell at a time they would be copied over and again.
        std::size_t cells = 0;
        for (std::size_t i = 0; i < colours; ++i) cells += i == 0 || distinct.keys[i] >> 3 != distinct.keys[i - 1] >> 3;
        points.reserve(cells);
        a.reserve(cells);
        b.reserve(cells);
        pool_cells(distinct, constants, converted, points, a, b);
    }
    stop.poll();
    const std::vector<Leaf> leaves = split(points, work.scratch, stop);
    std::vector<Record> records;
    records.reserve(leaves.size());
    for (const Leaf& leaf : leaves) {
        const Record record = describe(points, leaf, a, b, static_cast<double>(distinct.total));
        if (record.weight > 0) records.push_back(record);
    }
    // In the order a reader of the records sees: by the stored half floats (whose ties the doubles break).
    for (Record& record : records)
        for (int axis = 0; axis < 3; ++axis) record.stored[axis] = half_value(half_bits(record.lab[axis]));
    std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
        if (a.weight != b.weight) return a.weight > b.weight;
        if (a.stored != b.stored) return a.stored < b.stored;
        if (a.lab != b.lab) return a.lab < b.lab;
        return a.order < b.order;
    });
    std::vector<std::uint8_t> bytes(records.size() * distribution_record_bytes);
    std::uint8_t* out = bytes.data();
    for (const Record& record : records) {
        for (int axis = 0; axis < 3; ++axis) put_16(out + 2 * axis, half_bits(record.lab[axis]));
        put_16(out + 6, record.weight);
        std::copy(record.spread, record.spread + 3, out + 8);
        out += distribution_record_bytes;
    }
    return bytes;
}

}  // namespace lq::kernels
