// The colour space clustering works in: OpenCV's 8-bit LAB, or R, G, B.
#include "interop/constants.hpp"
#include "interop/opencv.hpp"
#include "preparation/preparation.hpp"

namespace lq::preparation {

Ref convert_to_feature_space(ColorExtractor* self, PyObject* image) {
    if (self->lab_space) return cvt_color(image, name<"COLOR_BGR2LAB">());
    return cvt_color(image, name<"COLOR_BGR2RGB">());
}

}  // namespace lq::preparation
