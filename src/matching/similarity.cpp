// The LAB distance of two R, G, B colours, the dominant colour closest to a target, and the similarity
// analysis built on them.
#include <limits>

#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "matching/matching.hpp"
#include "model/stages.hpp"
#include "preparation/conversion.hpp"

namespace lq::matching {

int color_distance_lab(ColorExtractor*, PyObject* color1, PyObject* color2, double* out) {
    Ref lab1 = preparation::convert_one_pixel(color1, name<"COLOR_RGB2LAB">());
    if (!lab1) return -1;
    Ref lab2 = preparation::convert_one_pixel(color2, name<"COLOR_RGB2LAB">());
    if (!lab2) return -1;
    PyObject* as_float = reinterpret_cast<PyObject*>(&PyFloat_Type);
    Ref first = call_method(lab1, name<"astype">(), {as_float});
    if (!first) return -1;
    Ref second = call_method(lab2, name<"astype">(), {as_float});
    if (!second) return -1;
    Ref squares = power(subtract(first, second), small_int<2>());
    if (!squares) return -1;
    Ref sqrt = attr(module_global<"np">(), name<"sqrt">());
    if (!sqrt) return -1;
    Ref total = call(attr(module_global<"np">(), name<"sum">()), {squares});
    if (!total) return -1;
    Ref root = call(sqrt, {total});
    if (!root) return -1;
    return to_double(root.get(), out);
}

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

namespace {

// (threshold - distance) / threshold * 100, kept when above 0, else the int 0. A zero threshold
// matches only a distance of 0: an exact match, so 100.0 rather than a division by zero.
Ref similarity_score(PyObject* distance, double threshold) {
    if (threshold == 0.0) return Ref::steal(PyFloat_FromDouble(100.0));
    Ref threshold_object = Ref::steal(PyFloat_FromDouble(threshold));
    return threshold_object ? clamped_score(threshold_object.get(), distance) : Ref();
}

Ref similarity_entry(PyObject* closest_color, PyObject* distance, double threshold) {
    Ref threshold_object = Ref::steal(PyFloat_FromDouble(threshold));
    if (!threshold_object) return Ref();
    const int matched = compare_bool(distance, threshold_object, Py_LE);
    if (matched < 0) return Ref();
    Ref similarity = Ref::borrow(small_int<0>());
    Ref percentage = Ref::borrow(small_int<0>());
    if (matched) {
        similarity = similarity_score(distance, threshold);
        if (!similarity) return Ref();
        Ref share = item(closest_color, name<"percentage">());
        if (!share) return Ref();
        percentage = multiply(share, true_divide(similarity, small_int<100>()));
        if (!percentage) return Ref();
    }
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || set_item(entry, name<"percentage">(), round_to_2(percentage.get())) < 0 ||
        set_item(entry, name<"similarity">(), round_to_2(similarity.get())) < 0 ||
        set_item(entry, name<"closest_color">(), item(closest_color, name<"color">())) < 0 ||
        set_item(entry, name<"distance">(), round_to_2(distance)) < 0)
        return Ref();
    const int direct = compare_bool(distance, cached_float<10.0>(), Py_LT);
    if (direct < 0 || set_item(entry, name<"found_directly">(), direct ? Py_True : Py_False) < 0) return Ref();
    return entry;
}

}  // namespace

Ref analyze_color_similarity(ColorExtractor* self, PyObject* image, PyObject* target_colors, PyObject* mask,
                             double similarity_threshold) {
    const Operation operation(self);
    PyObject* extractor = reinterpret_cast<PyObject*>(self);
    Ref image_colors = call_method(extractor, name<"extract_colors">(), {image, mask});
    if (!image_colors) return Ref();
    const int any_colors = truth(image_colors.get());
    if (any_colors <= 0) return any_colors < 0 ? Ref() : Ref::steal(PyDict_New());
    Ref results = Ref::steal(PyDict_New());
    if (!results) return Ref();
    const int status = for_each_target(target_colors, [&](PyObject* color_name, PyObject* target_rgb) {
        Ref found = call_method(extractor, name<"_find_closest_color">(), {target_rgb, image_colors});
        Ref closest_color, distance;
        if (!found || unpack_pair(found.get(), &closest_color, &distance) < 0) return -1;
        return set_item(results, color_name,
                        similarity_entry(closest_color.get(), distance.get(), similarity_threshold));
    });
    if (status < 0) return Ref();
    return results;
}

}  // namespace lq::matching
