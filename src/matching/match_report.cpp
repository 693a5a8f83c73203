// The match report: per target, the shares of pixels within the three LAB distance bands, the nearest
// pixel and a similarity score. Computed literally (one distance call per pixel and target) or, when
// the libraries are as imported and no override could see the difference, once per distinct colour.
#include "matching/match_report.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "kernels/match_distances.hpp"
#include "matching/matching.hpp"
#include "model/stages.hpp"
#include "preparation/preparation.hpp"

namespace lq::matching {

Ref clamped_score(PyObject* scale, PyObject* distance) {
    Ref score = multiply(true_divide(subtract(scale, distance), scale), small_int<100>());
    const int positive = compare_bool(score, small_int<0>(), Py_GT);
    if (positive < 0) return Ref();
    return positive ? score : Ref::borrow(small_int<0>());
}

Ref band_share(Arg count, PyObject* total_pixels) {
    return multiply(true_divide(count, total_pixels), small_int<100>());
}

Ref match_entry(const BandShares& shares, PyObject* closest_pixel, PyObject* min_distance) {
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || set_item(entry, name<"total_percentage">(), round_to_2(shares.somewhat_close.get())) < 0 ||
        set_item(entry, name<"close_percentage">(), round_to_2(shares.close.get())) < 0 ||
        set_item(entry, name<"very_close_percentage">(), round_to_2(shares.very_close.get())) < 0 ||
        set_item(entry, name<"closest_pixel">(), tuple_of_ints(closest_pixel)) < 0 ||
        set_item(entry, name<"min_distance">(), round_to_2(min_distance)) < 0)
        return Ref();
    Ref score = clamped_score(small_int<kernels::somewhat_close_band>(), min_distance);
    if (!score || set_item(entry, name<"similarity_score">(), round_to_2(score.get())) < 0) return Ref();
    return entry;
}

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
    return call(sum, {compare(distances, bound, Py_LT)});
}

// The literal path: one distance call per row of pixels_rgb for this target.
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
    Ref very_close = count_below(distances.get(), small_int<kernels::very_close_band>());
    if (!very_close) return Ref();
    Ref close = count_below(distances.get(), small_int<kernels::close_band>());
    if (!close) return Ref();
    Ref somewhat_close = count_below(distances.get(), small_int<kernels::somewhat_close_band>());
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

// The feature pixels as R, G, B rows: converted back from LAB, or the pixels themselves.
Ref rgb_rows(ColorExtractor* self, PyObject* pixels, DistinctColors* distinct) {
    if (!settings(self).lab_space) return Ref::borrow(pixels);
    switch (preparation::native_rows_apply(pixels, {name<"np">(), name<"cv2">()})) {
        case Applies::error: return Ref();
        case Applies::no: return preparation::lab_rows_to_rgb_one_by_one(pixels);
        case Applies::yes: break;
    }
    preparation::ConvertedRows converted;
    Ref rows = preparation::lab_rows_to_rgb_batched(pixels, &converted);
    if (rows && converted.table) distinct->adopt(std::move(converted));
    return rows;
}

// Whether this target's distances may be computed natively: byte rows, the libraries as imported and
// no override of the distance. Checked per target, as the per-pixel path looks the override up per call.
Applies fast_distances_apply(ColorExtractor* self, PyObject* pixels_rgb) {
    const Applies gate = preparation::native_rows_apply(pixels_rgb, {name<"np">(), name<"cv2">()});
    if (gate != Applies::yes) return gate;
    return stage::color_distance_is_own(self);
}

Ref target_entry(ColorExtractor* self, PyObject* target_rgb, PyObject* pixels_rgb, PyObject* total_pixels,
                 DistinctColors& distinct) {
    Ref target_array = call(attr(module_global<"np">(), name<"array">()), {target_rgb});
    if (!target_array) return Ref();
    const Applies fast = fast_distances_apply(self, pixels_rgb);
    if (fast == Applies::error) return Ref();
    if (fast == Applies::yes) {
        if (!distinct.prepared() && distinct.prepare(pixels_rgb) < 0) return Ref();
        Ref entry;
        const Applies done = distinct.entry(target_array.get(), total_pixels, &entry);
        if (done != Applies::no) return entry;
    }
    return per_pixel_entry(self, target_array.get(), pixels_rgb, total_pixels);
}

}  // namespace

Ref find_color_matches(ColorExtractor* self, PyObject* image, PyObject* target_colors, PyObject* mask) {
    const Operation operation(self);
    // A mask path is read as extract_colors reads it.
    Ref pixels = preparation::prepared_pixels(self, image, mask, preparation::admission::Analysis::match_report);
    if (!pixels) return Ref();
    const Py_ssize_t pixel_count = PyObject_Length(pixels.get());
    if (pixel_count <= 0) return pixel_count < 0 ? Ref() : Ref::steal(PyDict_New());
    if (PyDict_GET_SIZE(target_colors) > 0) {  // the distances are measured per target
        const Applies fast = fast_distances_apply(self, pixels.get());
        if (fast == Applies::error || preparation::admission::admit_match_report(pixels.get(), fast == Applies::no) < 0)
            return Ref();
    }
    DistinctColors distinct;
    Ref pixels_rgb = rgb_rows(self, pixels.get(), &distinct);
    if (!pixels_rgb) return Ref();
    Ref results = Ref::steal(PyDict_New());
    if (!results) return Ref();
    const Py_ssize_t total = PyObject_Length(pixels_rgb.get());
    if (total < 0) return Ref();
    Ref total_pixels = Ref::steal(PyLong_FromSsize_t(total));
    if (!total_pixels) return Ref();
    const int status = for_each_target(target_colors, [&](PyObject* color_name, PyObject* target_rgb) {
        return set_item(results, color_name,
                        target_entry(self, target_rgb, pixels_rgb.get(), total_pixels.get(), distinct));
    });
    if (status < 0) return Ref();
    return results;
}

}  // namespace lq::matching
