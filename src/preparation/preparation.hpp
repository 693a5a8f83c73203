// Image preparation: the stages between a loaded image and the pixel rows that clustering and matching
// work on, and the counting of cluster shares. Each returns a new reference or null with an exception
// set; the frame adds the method's traceback entry and checks the result type.
#pragma once

#include "frame/extractor.hpp"
#include "interop/ref.hpp"

namespace lq::preparation {

Ref preprocess_image(ColorExtractor* self, PyObject* image);
Ref convert_to_feature_space(ColorExtractor* self, PyObject* image);
Ref apply_mask(ColorExtractor* self, PyObject* image, PyObject* mask);
Ref extract_pixels(ColorExtractor* self, PyObject* image, PyObject* mask);
Ref calculate_percentages(ColorExtractor* self, PyObject* labels);

}  // namespace lq::preparation
