#include "kernels/colour/ciede2000.hpp"

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

double half_value(std::uint16_t bits) noexcept {
    const bool negative = (bits & 0x8000u) != 0;
    const unsigned exponent = (bits >> 10) & 0x1Fu, mantissa = bits & 0x3FFu;
    double value;
    if (exponent == 0) value = static_cast<double>(mantissa) * 0x1p-24;
    else if (exponent == 31)
        value = mantissa ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
    else value = std::ldexp(static_cast<double>(mantissa | 0x400u), static_cast<int>(exponent) - 25);
    return negative ? -value : value;
}

}  // namespace lq::kernels::colour
