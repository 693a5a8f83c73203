#include "matching/matching.hpp"
#include "interop/not_implemented.hpp"

namespace lq::matching {

Ref analyze_color_similarity(ColorExtractor*, PyObject*, PyObject*, PyObject*, double) {
    return not_implemented("analyze_color_similarity");
}

}  // namespace lq::matching
