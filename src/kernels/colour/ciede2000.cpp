#include "kernels/colour/ciede2000.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

namespace lq::kernels::colour {
namespace {

constexpr double power_7_of_25 = 6103515625.0;  // 25.0 ** 7, exact

double radians(double degrees) noexcept { return degrees * (std::numbers::pi / 180.0); }
double degrees(double radians) noexcept { return radians * (180.0 / std::numbers::pi); }
double cos_degrees(double value) noexcept { return std::cos(radians(value)); }

// NumPy's `x % 360.0`: the remainder takes the divisor's sign.
double modulo_360(double value) noexcept {
    double remainder = std::fmod(value, 360.0);
    if (remainder != 0.0) {
        if (remainder < 0.0) remainder += 360.0;
    } else {
        remainder = 0.0;  // copysign(0, 360)
    }
    return remainder;
}

// cielab._hue(b, a): 0 without chroma.
double hue(double b, double a) noexcept { return a == 0.0 && b == 0.0 ? 0.0 : modulo_360(degrees(std::atan2(b, a))); }

}  // namespace

double ciede2000(const Lab& first, const Lab& second) noexcept {
    const double l1 = first.l, a1 = first.a, b1 = first.b;
    const double l2 = second.l, a2 = second.a, b2 = second.b;
    const double mean_chroma7 = std::pow((std::hypot(a1, b1) + std::hypot(a2, b2)) / 2.0, 7.0);
    const double g = 0.5 * (1.0 - std::sqrt(mean_chroma7 / (mean_chroma7 + power_7_of_25)));
    const double c1 = std::hypot((1.0 + g) * a1, b1), c2 = std::hypot((1.0 + g) * a2, b2);
    const double h1 = hue(b1, (1.0 + g) * a1), h2 = hue(b2, (1.0 + g) * a2);
    const bool chromatic = (c1 * c2) != 0.0;

    double dh = h2 - h1;
    dh = dh > 180.0 ? dh - 360.0 : (dh < -180.0 ? dh + 360.0 : dh);
    if (!chromatic) dh = 0.0;
    const double d_lightness = l2 - l1, d_chroma = c2 - c1;
    const double d_hue = 2.0 * std::sqrt(c1 * c2) * std::sin(radians(dh) / 2.0);

    const double mean_l = (l1 + l2) / 2.0, mean_c = (c1 + c2) / 2.0;
    const double hue_sum = h1 + h2;
    const bool apart = std::fabs(h1 - h2) > 180.0;
    double mean_h = (apart ? (hue_sum < 360.0 ? hue_sum + 360.0 : hue_sum - 360.0) : hue_sum) / 2.0;
    if (!chromatic) mean_h = hue_sum;
    const double t = 1.0 - 0.17 * cos_degrees(mean_h - 30.0) + 0.24 * cos_degrees(2.0 * mean_h) +
                     0.32 * cos_degrees(3.0 * mean_h + 6.0) - 0.20 * cos_degrees(4.0 * mean_h - 63.0);
    const double centred = (mean_h - 275.0) / 25.0;
    const double rotation = 30.0 * std::exp(-(centred * centred));
    const double mean_c7 = std::pow(mean_c, 7.0);
    const double r_t = -2.0 * std::sqrt(mean_c7 / (mean_c7 + power_7_of_25)) * std::sin(radians(2.0 * rotation));
    const double off_middle = (mean_l - 50.0) * (mean_l - 50.0);
    const double s_l = 1.0 + 0.015 * off_middle / std::sqrt(20.0 + off_middle);
    const double s_c = 1.0 + 0.045 * mean_c;
    const double s_h = 1.0 + 0.015 * mean_c * t;
    const double lightness = d_lightness / s_l, chroma = d_chroma / s_c, hue_term = d_hue / s_h;
    const double sum = lightness * lightness + chroma * chroma + hue_term * hue_term + r_t * chroma * hue_term;
    return std::sqrt(std::fmax(sum, 0.0));
}

namespace {

struct Range {
    double low, high;
};

// The part of ciede2000 that grows with chroma: sqrt(c^7 / (c^7 + 25^7)), increasing in c.
double chroma_weight(double chroma) noexcept {
    const double chroma7 = std::pow(chroma, 7.0);
    return std::sqrt(chroma7 / (chroma7 + power_7_of_25));
}

// The least and greatest distance from the origin over a rectangle of the a-b plane.
Range radial(double a_low, double a_high, double b_low, double b_high) noexcept {
    const double near_a = a_low > 0.0 ? a_low : (a_high < 0.0 ? a_high : 0.0);
    const double near_b = b_low > 0.0 ? b_low : (b_high < 0.0 ? b_high : 0.0);
    const double far_a = std::fmax(std::fabs(a_low), std::fabs(a_high));
    const double far_b = std::fmax(std::fabs(b_low), std::fabs(b_high));
    return {std::hypot(near_a, near_b), std::hypot(far_a, far_b)};
}

// An angle moved into [-180, 180).
double signed_angle(double degrees_value) noexcept {
    return degrees_value - 360.0 * std::floor((degrees_value + 180.0) / 360.0);
}

// The hue angles of a rectangle that does not hold the origin, as one arc [low, high] (less than 180
// degrees wide), from its corners.
Range hue_arc(double a_low, double a_high, double b_low, double b_high) noexcept {
    const double reference = degrees(std::atan2((b_low + b_high) / 2.0, (a_low + a_high) / 2.0));
    Range arc{0.0, 0.0};
    for (const double a : {a_low, a_high})
        for (const double b : {b_low, b_high}) {
            const double turn = signed_angle(degrees(std::atan2(b, a)) - reference);
            arc.low = std::fmin(arc.low, turn);
            arc.high = std::fmax(arc.high, turn);
        }
    return {reference + arc.low, reference + arc.high};
}

// The range of cos over an arc of degrees.
Range cos_range(double low, double high) noexcept {
    if (high - low >= 360.0) return {-1.0, 1.0};
    const double at_low = cos_degrees(low), at_high = cos_degrees(high);
    Range out{std::fmin(at_low, at_high), std::fmax(at_low, at_high)};
    if (std::ceil(low / 360.0) * 360.0 <= high) out.high = 1.0;
    if (std::ceil((low - 180.0) / 360.0) * 360.0 + 180.0 <= high) out.low = -1.0;
    return out;
}

// The range of T over an arc of mean hues.
Range t_range(const Range& mean_h) noexcept {
    const Range first = cos_range(mean_h.low - 30.0, mean_h.high - 30.0);
    const Range second = cos_range(2.0 * mean_h.low, 2.0 * mean_h.high);
    const Range third = cos_range(3.0 * mean_h.low + 6.0, 3.0 * mean_h.high + 6.0);
    const Range fourth = cos_range(4.0 * mean_h.low - 63.0, 4.0 * mean_h.high - 63.0);
    return {1.0 - 0.17 * first.high + 0.24 * second.low + 0.32 * third.low - 0.20 * fourth.high,
            1.0 - 0.17 * first.low + 0.24 * second.high + 0.32 * third.high - 0.20 * fourth.low};
}

// The range of the rotation (degrees) over an arc of mean hues. The formula takes the mean hue in [0, 360)
// and is not periodic there: the greatest is taken at the distance round the circle to 275 (at most the
// distance within [0, 360)), the least at the distance within [0, 360), and as none on an arc across 0.
Range rotation_range(const Range& mean_h) noexcept {
    const auto rotation = [](double apart) {
        const double centred = apart / 25.0;
        return 30.0 * std::exp(-(centred * centred));
    };
    double nearest = 0.0;
    if (std::floor((mean_h.high - 275.0) / 360.0) * 360.0 + 275.0 < mean_h.low)  // 275 not on the arc
        nearest = std::fmin(std::fabs(signed_angle(mean_h.low - 275.0)), std::fabs(signed_angle(mean_h.high - 275.0)));
    const double start = mean_h.low - 360.0 * std::floor(mean_h.low / 360.0);
    const double end = start + (mean_h.high - mean_h.low);
    const double least = end >= 360.0 ? 0.0 : rotation(std::fmax(std::fabs(start - 275.0), std::fabs(end - 275.0)));
    return {least, rotation(nearest)};
}

double nearest_zero(const Range& range) noexcept {
    return range.low > 0.0 ? range.low : (range.high < 0.0 ? -range.high : 0.0);
}

// The least of x^2 + y^2 + r x y over a box of (x, y). With |r| < 2 the form is convex, and its least over
// a box without the origin lies on an edge.
double least_form(const Range& x, const Range& y, double r) noexcept {
    if (nearest_zero(x) == 0.0 && nearest_zero(y) == 0.0) return 0.0;
    const auto form = [r](double u, double v) { return u * u + v * v + r * u * v; };
    double least = std::numeric_limits<double>::infinity();
    for (const double u : {x.low, x.high}) least = std::fmin(least, form(u, std::clamp(-r * u / 2.0, y.low, y.high)));
    for (const double v : {y.low, y.high}) least = std::fmin(least, form(std::clamp(-r * v / 2.0, x.low, x.high), v));
    return least;
}

// Arcs are widened by this much so that a hue on their edge, rounded either way, stays inside; at
// opposite hues the formula jumps (the sign of dH and the mean hue), and both sides are kept.
constexpr double arc_slack = 1e-7;

// A bound computed in floating point is lowered by far more than the rounding of it and of ciede2000.
double lowered(double value) noexcept { return std::fmax(value * (1.0 - 1e-9) - 1e-12, 0.0); }

}  // namespace

DifferenceFloor::DifferenceFloor(const Lab& centre) noexcept
    : centre_(centre), chroma_(std::hypot(centre.a, centre.b)) {}

double DifferenceFloor::lightness(double low, double high) const noexcept {
    const double nearest = nearest_zero({low - centre_.l, high - centre_.l});
    const double off_low = (centre_.l + low) / 2.0 - 50.0, off_high = (centre_.l + high) / 2.0 - 50.0;
    const double off_middle = std::fmax(off_low * off_low, off_high * off_high);
    const double s_l = 1.0 + 0.015 * off_middle / std::sqrt(20.0 + off_middle);  // its greatest
    const double least = nearest / s_l;
    return lowered(least * least);
}

double DifferenceFloor::chromatic(double a_low, double a_high, double b_low, double b_high) const noexcept {
    // G falls as the mean chroma grows; the centre and the box share it, taken here as one range for both.
    const Range chroma2 = radial(a_low, a_high, b_low, b_high);
    const double g_low = 0.5 * (1.0 - chroma_weight((chroma_ + chroma2.high) / 2.0));
    const double g_high = 0.5 * (1.0 - chroma_weight((chroma_ + chroma2.low) / 2.0));
    const double a = centre_.a, b = centre_.b;
    const Range c1 = {std::hypot((1.0 + g_low) * a, b), std::hypot((1.0 + g_high) * a, b)};
    const double scaled_low = a_low * (1.0 + (a_low < 0.0 ? g_high : g_low));
    const double scaled_high = a_high * (1.0 + (a_high > 0.0 ? g_high : g_low));
    const Range c2 = radial(scaled_low, scaled_high, b_low, b_high);
    // (c2 - c1) / S_C rises with c2 and falls with c1.
    const auto chroma_term = [](double first, double second) {
        return (second - first) / (1.0 + 0.045 * ((first + second) / 2.0));
    };
    const Range chroma = {chroma_term(c1.high, c2.low), chroma_term(c1.low, c2.high)};
    if (c1.high == 0.0) return lowered(nearest_zero(chroma) * nearest_zero(chroma));  // no hue term without chroma

    // Hue differences, wrapped into [-180, 180] as the formula wraps them: one or two intervals.
    const double h1_low = degrees(std::atan2(b, (1.0 + g_low) * a));
    const double h1_turn = signed_angle(degrees(std::atan2(b, (1.0 + g_high) * a)) - h1_low);
    const Range h1 = {h1_low + std::fmin(h1_turn, 0.0), h1_low + std::fmax(h1_turn, 0.0)};
    const bool round = scaled_low <= 0.0 && scaled_high >= 0.0 && b_low <= 0.0 && b_high >= 0.0;
    std::array<Range, 2> differences{};
    int pieces = 1;
    if (round) {
        differences[0] = {-180.0, 180.0};
    } else {
        const Range h2 = hue_arc(scaled_low, scaled_high, b_low, b_high);
        const double width = h2.high - h2.low + h1.high - h1.low + 2.0 * arc_slack;
        const double start = signed_angle(h2.low - h1.high - arc_slack);
        if (width >= 360.0) {
            differences[0] = {-180.0, 180.0};
        } else if (start + width <= 180.0) {
            differences[0] = {start, start + width};
        } else {
            differences = {Range{start, 180.0}, Range{-180.0, start + width - 360.0}};
            pieces = 2;
        }
    }
    const Range mean_c = {(c1.low + c2.low) / 2.0, (c1.high + c2.high) / 2.0};
    const Range root = {2.0 * std::sqrt(c1.low * c2.low), 2.0 * std::sqrt(c1.high * c2.high)};
    double least = std::numeric_limits<double>::infinity();
    for (int piece = 0; piece < pieces; ++piece) {
        const Range& d = differences[static_cast<std::size_t>(piece)];
        // The mean hue is h1 + dh / 2, modulo 360.
        const Range mean_h = {h1.low + d.low / 2.0 - arc_slack, h1.high + d.high / 2.0 + arc_slack};
        const Range t = t_range(mean_h);
        const Range s_h = {1.0 + 0.015 * mean_c.low * t.low, 1.0 + 0.015 * mean_c.high * t.high};
        const Range sine = {std::sin(radians(d.low) / 2.0), std::sin(radians(d.high) / 2.0)};
        const Range d_hue = {sine.low >= 0.0 ? root.low * sine.low : root.high * sine.low,
                             sine.high >= 0.0 ? root.high * sine.high : root.low * sine.high};
        const Range hue_term = {d_hue.low >= 0.0 ? d_hue.low / s_h.high : d_hue.low / s_h.low,
                                d_hue.high >= 0.0 ? d_hue.high / s_h.low : d_hue.high / s_h.high};
        // R_T is never positive, and at most 2 sin 60 degrees in size; the form is linear in it, so its
        // least lies at one end of R_T's range.
        const Range rotation = rotation_range(mean_h);
        const double r_low = -2.0 * chroma_weight(mean_c.high) * std::sin(radians(2.0 * rotation.high));
        const double r_high = -2.0 * chroma_weight(mean_c.low) * std::sin(radians(2.0 * rotation.low));
        least = std::fmin(least, std::fmin(least_form(chroma, hue_term, r_low), least_form(chroma, hue_term, r_high)));
    }
    return lowered(least);
}

Lab warped(const Lab& lab) noexcept {
    const double chroma = std::hypot(lab.a, lab.b);
    const double scale = chroma > 0.0 ? std::log1p(0.045 * chroma) / (0.045 * chroma) : 1.0;
    return {lab.l, lab.a * scale, lab.b * scale};
}

double ndtr(double x) noexcept {
    // scipy.special.ndtr (Cephes): erf where it is accurate, the complement beyond 1/sqrt(2).
    const double scaled = x * std::numbers::sqrt2 / 2.0;
    const double z = std::fabs(scaled);
    if (z < std::numbers::sqrt2 / 2.0) return 0.5 + 0.5 * std::erf(scaled);
    const double tail = 0.5 * std::erfc(z);
    return scaled > 0.0 ? 1.0 - tail : tail;
}

}  // namespace lq::kernels::colour
