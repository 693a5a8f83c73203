// Target colour matching: the LAB distance, the closest dominant colour and the two reports.
#pragma once

#include "frame/extractor.hpp"
#include "interop/ref.hpp"

namespace lq::matching {

// 0 with the distance in *out, or -1 with an exception set.
int color_distance_lab(ColorExtractor* self, PyObject* color1, PyObject* color2, double* out);
Ref find_closest_color(ColorExtractor* self, PyObject* target_color, PyObject* image_colors);
Ref analyze_color_similarity(ColorExtractor* self, PyObject* image, PyObject* target_colors, PyObject* mask,
                             double similarity_threshold);
Ref find_color_matches(ColorExtractor* self, PyObject* image, PyObject* target_colors, PyObject* mask);

}  // namespace lq::matching
