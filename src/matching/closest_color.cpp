#include <limits>

#include "frame/stages.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "matching/matching.hpp"

namespace lq::matching {

Ref find_closest_color(ColorExtractor* self, PyObject* target_color, PyObject* image_colors) {
    Ref target_rgb = call(attr(module_global<"np">(), name<"array">()), {target_color});
    if (!target_rgb) return Ref();
    double min_distance = std::numeric_limits<double>::infinity();
    Ref closest_color = Ref::none();
    // The list may change under an override of the distance: read its size and items afresh each turn.
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(image_colors); ++index) {
        Ref color_info = Ref::borrow(PyList_GET_ITEM(image_colors, index));
        Ref array = attr(module_global<"np">(), name<"array">());
        if (!array) return Ref();
        Ref image_rgb = call(array, {item(color_info, name<"color">())});
        if (!image_rgb) return Ref();
        double distance = 0.0;
        if (stage::color_distance_lab(self, target_rgb.get(), image_rgb.get(), &distance) < 0) return Ref();
        if (distance < min_distance) {
            min_distance = distance;
            closest_color = std::move(color_info);
        }
    }
    Ref distance = Ref::steal(PyFloat_FromDouble(min_distance));
    return make_tuple({closest_color, distance});
}

}  // namespace lq::matching
