// One colour as a one-pixel image, as the distance primitive and the literal match report convert
// colours: np.uint8([[color]]) in, the single pixel of cv2.cvtColor's result out.
#pragma once

#include "interop/ref.hpp"

namespace lq::matching {

// [[color]]: a one-element list holding a one-element list holding the colour.
Ref nested_pixel(PyObject* color);

// image[0][0]
Ref single_pixel(const Ref& image);

// cv2.cvtColor(np.uint8([[color]]), cv2.COLOR_RGB2LAB)[0][0], globals looked up as the expression reads.
Ref lab_of_rgb(PyObject* color);

}  // namespace lq::matching
