// Reading images and masks given as file paths, shared by the operations that accept paths.
#pragma once

#include "interop/ref.hpp"

namespace lq::extraction {

// A str (or subclass) is read with cv2.imread(path); an unreadable file raises ValueError
// "Could not load image from <path>" / "Could not load mask from <path>". Any other object passes
// unchanged.
Ref load_image(PyObject* image);
Ref load_mask(PyObject* mask);

}  // namespace lq::extraction
