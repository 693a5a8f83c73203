#include "chart/chart.hpp"
#include "interop/not_implemented.hpp"

namespace lq::chart {

Ref visualize_colors(ColorExtractor*, PyObject*, PyObject*) { return not_implemented("visualize_colors"); }

}  // namespace lq::chart
