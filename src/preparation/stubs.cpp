#include "interop/not_implemented.hpp"
#include "preparation/preparation.hpp"

namespace lq::preparation {

Ref preprocess_image(ColorExtractor*, PyObject*) { return not_implemented("_preprocess_image"); }
Ref convert_to_feature_space(ColorExtractor*, PyObject*) { return not_implemented("_convert_to_feature_space"); }
Ref apply_mask(ColorExtractor*, PyObject*, PyObject*) { return not_implemented("_apply_mask"); }
Ref extract_pixels(ColorExtractor*, PyObject*, PyObject*) { return not_implemented("_extract_pixels"); }
Ref calculate_percentages(ColorExtractor*, PyObject*) { return not_implemented("_calculate_percentages"); }

}  // namespace lq::preparation
