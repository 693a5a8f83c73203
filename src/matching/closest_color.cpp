#include "matching/matching.hpp"
#include "interop/not_implemented.hpp"

namespace lq::matching {

Ref find_closest_color(ColorExtractor*, PyObject*, PyObject*) { return not_implemented("_find_closest_color"); }

}  // namespace lq::matching
