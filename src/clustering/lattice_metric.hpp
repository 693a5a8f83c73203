// Squared distances between standardised 8-bit colours, computed the way scikit-learn's neighbour
// test computes them: per channel the difference of the two scaled values, squared, and the three
// squares summed in channel order from zero, compared with eps squared (<=).
//
// The scaled value of a channel grows with the 8-bit value (subtracting the mean and dividing by a
// positive scale are monotone in floating point, and so are the difference, its square and the
// sums). So over any box of 8-bit colours the least and the greatest distance are the distances of
// two actual lattice colours, one per channel at the clamped or extreme value: the bounds below are
// exact, with no rounding margin.
#pragma once

#include <cstdint>

namespace lq::clustering::lattice {

inline constexpr double kEpsSquared = 0.25;  // eps = 0.5 in standardised units

using Colour = uint8_t[3];

struct Box {
    uint8_t lo[3];
    uint8_t hi[3];
};

struct Metric {
    double scaled[3][256];  // scaled[c][v]: the standardised value of 8-bit value v in channel c

    double term(int c, int a, int b) const {
        const double d = scaled[c][a] - scaled[c][b];
        return d * d;
    }

    double distance2(const uint8_t* p, const uint8_t* q) const {
        return (term(0, p[0], q[0]) + term(1, p[1], q[1])) + term(2, p[2], q[2]);
    }

    // Least distance2 between a colour of `a` and a colour of `b`.
    double least(const Box& a, const Box& b) const {
        return (least_term(0, a, b) + least_term(1, a, b)) + least_term(2, a, b);
    }

    // Greatest distance2 between a colour of `a` and a colour of `b`.
    double most(const Box& a, const Box& b) const {
        return (most_term(0, a, b) + most_term(1, a, b)) + most_term(2, a, b);
    }

private:
    double least_term(int c, const Box& a, const Box& b) const {
        if (a.hi[c] < b.lo[c]) return term(c, a.hi[c], b.lo[c]);
        if (b.hi[c] < a.lo[c]) return term(c, b.hi[c], a.lo[c]);
        return 0.0;
    }
    double most_term(int c, const Box& a, const Box& b) const {
        const double up = term(c, a.lo[c], b.hi[c]);
        const double down = term(c, a.hi[c], b.lo[c]);
        return up > down ? up : down;
    }
};

inline Box point_box(const uint8_t* p) { return Box{{p[0], p[1], p[2]}, {p[0], p[1], p[2]}}; }

}  // namespace lq::clustering::lattice
