// The colour arithmetic of the package's CIELAB module (lumvarde_quorle/cielab.py) and of the colour
// distributions (lumvarde_quorle/distribution.py), step for step in the same order, so that the native
// search gives the NumPy estimator's values to rounding (the tests hold them to 1e-9 on millions of
// pairs). Every step maps to one NumPy expression:
//   - degrees/radians are x * (180 / pi) and x * (pi / 180), as NumPy computes them;
//   - `% 360` is NumPy's float remainder: fmod, moved into [0, 360) when negative;
//   - x ** 2 is x * x and x ** 7 is pow(x, 7), as NumPy's power takes them;
//   - sums of terms run left to right as Python writes them.
// No contraction into fused multiply-adds (-ffp-contract=off), so every compiler and clone rounds alike.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

namespace lq::kernels::colour {

struct Lab {
    double l, a, b;
};

// CIEDE2000 (kL = kC = kH = 1), cielab.ciede2000(first, second).
double ciede2000(const Lab& first, const Lab& second) noexcept;

// distribution.warped: chroma compressed to log(1 + 0.045 C) / 0.045, the hue kept.
Lab warped(const Lab& lab) noexcept;

// The standard normal distribution function as scipy.special.ndtr computes it (erf near 0, erfc beyond).
double ndtr(double x) noexcept;

// Lower bounds of ciede2000(centre, x) over boxes of x, so that a search can rule out whole regions of
// colour space without missing a colour within its radius. Each step of the formula is taken as an
// interval over the box (chromas and hue angles of the box's corners, G, S_L, S_C, S_H, T and R_T), so the
// bound holds for every point of the box, not only sampled ones; a relative slack far above rounding keeps
// it below what ciede2000 computes. The lightness term depends on x's L only and the others on (a, b)
// only: the least squared difference over a box is at least lightness + chromatic.
class DifferenceFloor {
public:
    explicit DifferenceFloor(const Lab& centre) noexcept;
    // At most the least (dL / S_L)^2 over L in [low, high].
    double lightness(double low, double high) const noexcept;
    // At most the least of the chroma and hue terms with their cross term over a in [a_low, a_high] and b
    // in [b_low, b_high].
    double chromatic(double a_low, double a_high, double b_low, double b_high) const noexcept;

private:
    Lab centre_;
    double chroma_;  // hypot(a, b) of the centre, before G
};

// An IEEE half-precision value (the records' "<f2"), exactly.
inline double half_value(std::uint16_t bits) noexcept {
    const bool negative = (bits & 0x8000u) != 0;
    const unsigned exponent = (bits >> 10) & 0x1Fu, mantissa = bits & 0x3FFu;
    // A normal half is the double of the same exponent and mantissa, built whole rather than by ldexp, and
    // inline: a search reads three halves for every record it bounds.
    double value;
    if (exponent == 0) value = static_cast<double>(mantissa) * 0x1p-24;
    else if (exponent == 31)
        value = mantissa ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
    else value = std::bit_cast<double>((std::uint64_t{exponent} + (1023 - 15)) << 52 | std::uint64_t{mantissa} << 42);
    return negative ? -value : value;
}

}  // namespace lq::kernels::colour
