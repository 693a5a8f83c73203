// The pieces of the match report: the literal per-pixel path, the exact fast path over distinct
// colours, and the result entry both build through the same interpreter arithmetic.
#pragma once

#include <cstdint>
#include <vector>

#include "interop/globals.hpp"
#include "interop/ref.hpp"
#include "model/extractor.hpp"
#include "preparation/conversion.hpp"

namespace lq::matching {

// The three band shares of one target, each count / total_pixels * 100.
struct BandShares {
    Ref very_close, close, somewhat_close;
};

// count / total_pixels * 100 with the interpreter's number protocol.
Ref band_share(Arg count, PyObject* total_pixels);

// The MatchEntry: the rounded shares, the nearest pixel's components as ints, the rounded distance and
// the similarity score.
Ref match_entry(const BandShares& shares, PyObject* closest_pixel, PyObject* min_distance);

// Fast path for the distances: the distinct R, G, B values of pixels_rgb with their LAB values,
// prepared once per report and shared by every target.
class DistinctColors {
public:
    // Groups the rows of pixels_rgb (rows that passed the native-rows gate) by value. 0, or -1.
    int prepare(PyObject* pixels_rgb);
    // Takes the groups of a batched conversion back from LAB: their R, G, B values are `converted`.
    void adopt(preparation::ConvertedRows rows) noexcept;
    bool prepared() const noexcept { return rows_.table != nullptr; }
    // The target's entry: yes with *entry set; no when the target's LAB value is not a plain triple of
    // bytes (the caller then takes the per-pixel path).
    Applies entry(PyObject* target_array, PyObject* total_pixels, Ref* entry);

private:
    preparation::ConvertedRows rows_;  // the distinct values and their R, G, B
    std::vector<std::uint8_t> lab_;    // their LAB values, converted on first use
};

}  // namespace lq::matching
