// Squared distances between standardised colours, computed the way scikit-learn's neighbour test
// computes them: per channel the difference of the two scaled values, squared, and the three squares
// summed in channel order from zero, compared with eps squared (<=).
//
// Floating-point subtraction, squaring and addition are monotone, so over a box of points the least
// and the greatest distance2 are reached per channel at the clamped or the farther extreme value,
// whose terms the bounds below compute with the very same operations: the bounds are exact, with no
// rounding margin, as long as the box corners are values of actual points.
#pragma once

#include <cstdint>

namespace lq::kernels::dbscan {

inline constexpr double kEpsSquared = 0.25;  // eps = 0.5 in standardised units

// The standardised value of every 8-bit value, per channel; it grows with the 8-bit value.
struct Metric {
    double scaled[3][256];

    double distance2(const uint8_t* p, const uint8_t* q) const {
        const double a = scaled[0][p[0]] - scaled[0][q[0]];
        const double b = scaled[1][p[1]] - scaled[1][q[1]];
        const double c = scaled[2][p[2]] - scaled[2][q[2]];
        return (a * a + b * b) + c * c;
    }
};

struct Point {
    double x[3];
};

struct Bounds {
    double lo[3];
    double hi[3];
};

inline double distance2(const Point& p, const Point& q) {
    const double a = p.x[0] - q.x[0], b = p.x[1] - q.x[1], c = p.x[2] - q.x[2];
    return (a * a + b * b) + c * c;
}

inline double larger(double a, double b) { return a > b ? a : b; }
inline double magnitude(double a) { return a < 0 ? -a : a; }

// Least distance2 between a point of `a` and a point of `b`.
inline double least(const Bounds& a, const Bounds& b) {
    double g[3];
    for (int c = 0; c < 3; ++c) g[c] = larger(larger(b.lo[c] - a.hi[c], a.lo[c] - b.hi[c]), 0.0);
    return (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2];
}

// Greatest distance2 between a point of `a` and a point of `b`.
inline double most(const Bounds& a, const Bounds& b) {
    double g[3];
    for (int c = 0; c < 3; ++c) g[c] = larger(magnitude(a.lo[c] - b.hi[c]), magnitude(a.hi[c] - b.lo[c]));
    return (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2];
}

inline Bounds point_bounds(const Point& p) { return Bounds{{p.x[0], p.x[1], p.x[2]}, {p.x[0], p.x[1], p.x[2]}}; }

}  // namespace lq::kernels::dbscan
