// The colour distribution of an image's analysed pixels: their distinct colours split greedily into at
// most 180 groups (leaves), each described by its pixel share, mean CIELAB colour and spread, in 11-byte
// records a reader can estimate colour shares from without the image. Pure native code, so the whole
// pass runs with the GIL released.
//
// A record, little-endian and packed: L*, a*, b* as IEEE half floats (the leaf's pixel-weighted mean,
// rounded to nearest); the leaf's share of the analysed pixels times 65535 as a 16-bit integer, rounded
// to nearest; and per axis of the warped space below, the leaf's pixel-weighted standard deviation sigma
// as a byte c: 0 for sigma == 0, else clamp(round((log2(sigma) + 5) * 16), 1, 255), so sigma =
// 2^(c / 16 - 5). Records come by share, largest first, then by L*, a*, b* ascending; leaves whose share
// rounds to 0 are left out.
//
// The warped space, where Euclidean distance roughly follows CIEDE2000: with C = hypot(a*, b*) and
// r = log1p(0.045 C) / 0.045, W = (L*, r a* / C, r b* / C), and (L*, 0, 0) when C == 0. CIEDE2000 divides
// chroma differences by 1 + 0.045 C; r is the integral of that factor along the chroma.
//
// The split: start from one leaf holding every distinct colour; repeatedly split the leaf with the largest
// sqrt(pixels * SSE) + 3 pixels (SSE: its pixel-weighted sum of squared W distances from its mean; ties to
// the leaf made first) along its W axis of largest variance, at the weighted mean (values <= mean go left), or at
// the weighted median of the sorted values when the mean leaves a side empty. A leaf of one distinct
// colour or no SSE is final. Children never rank above their parent, so the leaves split are those of
// the largest priority whatever the pixels' layout: the result depends on the colour counts alone.
// Above 2^18 distinct colours the split's units are cells of 2 x 2 x 2 sRGB levels instead, each
// carrying its colours' exact mean and squared deviations, so that means and spreads stay exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/pixel_rows.hpp"
#include "kernels/stop.hpp"

namespace lq::kernels {

inline constexpr std::size_t distribution_leaves = 180;
inline constexpr std::size_t distribution_record_bytes = 11;

// The records of the pixels of `image` (B, G, R) inside its mask (grey value above 128; every pixel
// without one), black ones included: none when no pixel is analysed. Throws std::bad_alloc; polls `stop`.
// Everything it allocates is given back when it returns (at 12 MP its peak is about 50 MB resident: two
// bytes a pixel while counting, then the distinct colours and the split's points).
std::vector<std::uint8_t> colour_distribution(const ImagePixels& image, Stop& stop);

}  // namespace lq::kernels
