#include "matching/matching.hpp"
#include "interop/not_implemented.hpp"

namespace lq::matching {

Ref find_color_matches(ColorExtractor*, PyObject*, PyObject*, PyObject*) {
    return not_implemented("find_color_matches");
}

}  // namespace lq::matching
