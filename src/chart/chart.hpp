// The colour chart: one horizontal bar of proportional segments.
#pragma once

#include "interop/ref.hpp"
#include "model/extractor.hpp"

namespace lq::chart {

Ref visualize_colors(ColorExtractor* self, PyObject* colors, PyObject* save_path);

}  // namespace lq::chart
