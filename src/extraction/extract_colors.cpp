#include "extraction/extraction.hpp"
#include "interop/not_implemented.hpp"

namespace lq::extraction {

Ref extract_colors(ColorExtractor*, PyObject*, PyObject*) { return not_implemented("extract_colors"); }

}  // namespace lq::extraction
