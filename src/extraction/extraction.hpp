// The main operation: the dominant colours of an image with their shares.
#pragma once

#include "frame/extractor.hpp"
#include "interop/ref.hpp"

namespace lq::extraction {

Ref extract_colors(ColorExtractor* self, PyObject* image, PyObject* mask);

}  // namespace lq::extraction
