// The pieces of the match report: the literal per-pixel path, the exact fast path over distinct
// colours, and the result entry both of them build through the same interpreter arithmetic.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "frame/extractor.hpp"
#include "interop/ref.hpp"
#include "kernels/distinct_rows.hpp"

namespace lq::matching {

// The three band shares of one target, each count / total_pixels * 100.
struct BandShares {
    Ref very_close, close, somewhat_close;
};

// count / total_pixels * 100 with the interpreter's number protocol.
Ref band_share(PyObject* count, PyObject* total_pixels);

// The MatchEntry: the rounded shares, the nearest pixel's components as ints, the rounded distance and
// the similarity score (50 - min_distance) / 50 * 100 when positive, else the int 0.
Ref match_entry(const BandShares& shares, PyObject* closest_pixel, PyObject* min_distance);

// Literal path: one distance call per row of pixels_rgb for this target.
Ref per_pixel_entry(ColorExtractor* self, PyObject* target_array, PyObject* pixels_rgb, PyObject* total_pixels);

// An exact ndarray of N rows of three uint8 values: the rows the fast path can read directly.
bool is_byte_triples(PyObject* object);

// The rows of an array that passed is_byte_triples.
kernels::ByteRows byte_rows(PyObject* array);

// 1 when np and cv2 are the modules bound at import, 0 when either was rebound, -1 on error.
int libraries_as_imported();

class DistinctColors;

// Fast path, same result as lab_rows_to_rgb_one_by_one (interop/opencv.hpp) for byte triples: each distinct LAB value converted
// once, in a single cv2.cvtColor call. The distinct values, which determine the R, G, B rows, are handed
// to `distinct` for the distances.
Ref rgb_rows_batched(PyObject* pixels, DistinctColors* distinct);

// One cv2.cvtColor(image, cv2.<code>) call on the triples laid out as an N x 1 x 3 uint8 image; the
// converted triples in *out. 0, or -1 with an exception set.
int convert_triples(const std::vector<std::uint8_t>& triples, PyObject* code_name, std::vector<std::uint8_t>* out);


// Fast path for the distances: groups of pixels_rgb rows that share one R, G, B value, with that value
// and its LAB value, prepared once per report and shared by every target.
class DistinctColors {
public:
    DistinctColors();
    ~DistinctColors();
    // Groups the rows of pixels_rgb by value. 0, or -1 with an exception set.
    int prepare(PyObject* pixels_rgb);
    // Takes groups made elsewhere: the rows of each entry of `table` all have the R, G, B value given
    // for that entry in `rgb`.
    void adopt(std::unique_ptr<kernels::DistinctRows> table, std::vector<std::uint8_t> rgb) noexcept;
    bool prepared() const noexcept { return table_ != nullptr; }
    // 1 with the target's entry in *entry; 0 when the target's LAB value is not a plain triple of bytes
    // (the caller then takes the per-pixel path); -1 with an exception set.
    int entry(PyObject* target_array, PyObject* total_pixels, Ref* entry);

private:
    std::unique_ptr<kernels::DistinctRows> table_;
    std::vector<std::uint8_t> rgb_;
    std::vector<std::uint8_t> lab_;  // converted on first use
};

}  // namespace lq::matching
