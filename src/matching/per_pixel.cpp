// The match report exactly as written: one interpreter-level conversion per pixel, one distance call
// per pixel and target. Used whenever the fast path could not give the same result.
#include "frame/stages.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "matching/match_report.hpp"

namespace lq::matching {
namespace {

Ref np_array(PyObject* object) {
    Ref array = attr(module_global<"np">(), name<"array">());
    if (!array) return Ref();
    return call(array, {object});
}

// np.sum(distances < bound)
Ref count_below(PyObject* distances, PyObject* bound) {
    Ref sum = attr(module_global<"np">(), name<"sum">());
    if (!sum) return Ref();
    return call(sum, {Ref::steal(PyObject_RichCompare(distances, bound, Py_LT))});
}

}  // namespace

Ref per_pixel_entry(ColorExtractor* self, PyObject* target_array, PyObject* pixels_rgb, PyObject* total_pixels) {
    Ref listed = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(pixels_rgb));
    if (!listed || !iterator) return Ref();
    while (Ref pixel = Ref::steal(PyIter_Next(iterator.get()))) {
        double distance = 0.0;
        if (stage::color_distance_lab(self, target_array, pixel.get(), &distance) < 0) return Ref();
        Ref value = Ref::steal(PyFloat_FromDouble(distance));
        if (!value || PyList_Append(listed.get(), value.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    Ref distances = np_array(listed.get());
    if (!distances) return Ref();
    Ref very_close = count_below(distances.get(), small_int<15>());
    if (!very_close) return Ref();
    Ref close = count_below(distances.get(), small_int<30>());
    if (!close) return Ref();
    Ref somewhat_close = count_below(distances.get(), small_int<50>());
    if (!somewhat_close) return Ref();
    BandShares shares;
    if (!(shares.very_close = band_share(very_close.get(), total_pixels)) ||
        !(shares.close = band_share(close.get(), total_pixels)) ||
        !(shares.somewhat_close = band_share(somewhat_close.get(), total_pixels)))
        return Ref();
    Ref closest_index = call(attr(module_global<"np">(), name<"argmin">()), {distances});
    if (!closest_index) return Ref();
    Ref closest_pixel = item(pixels_rgb, closest_index);
    if (!closest_pixel) return Ref();
    Ref min_distance = item(distances, closest_index);
    if (!min_distance) return Ref();
    return match_entry(shares, closest_pixel.get(), min_distance.get());
}

}  // namespace lq::matching
