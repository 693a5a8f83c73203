#include "matching/matching.hpp"
#include "interop/not_implemented.hpp"

namespace lq::matching {

int color_distance_lab(ColorExtractor*, PyObject*, PyObject*, double*) {
    not_implemented("_color_distance_lab");
    return -1;
}

}  // namespace lq::matching
