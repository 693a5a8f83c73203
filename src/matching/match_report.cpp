#include "extraction/loading.hpp"
#include "frame/stages.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "interop/opencv.hpp"
#include "interop/process_state.hpp"
#include "matching/match_report.hpp"
#include "matching/matching.hpp"
#include "matching/targets.hpp"

namespace lq::matching {
namespace {

// The feature pixels as R, G, B rows: converted back from LAB, or the pixels themselves.
Ref rgb_rows(ColorExtractor* self, PyObject* pixels, DistinctColors* distinct) {
    if (!self->lab_space) return Ref::borrow(pixels);
    const int batched = is_byte_triples(pixels) ? libraries_as_imported() : 0;
    if (batched < 0) return Ref();
    return batched ? rgb_rows_batched(pixels, distinct) : lab_rows_to_rgb_one_by_one(pixels);
}

// 1 when this target's distances may be computed natively: byte rows, the libraries as imported and no
// override of the distance. Checked per target, as the per-pixel path looks the override up per call.
int fast_distances_apply(ColorExtractor* self, PyObject* pixels_rgb) {
    if (!is_byte_triples(pixels_rgb)) return 0;
    const int libraries = libraries_as_imported();
    if (libraries <= 0) return libraries;
    return stage::color_distance_is_own(self);
}

Ref target_entry(ColorExtractor* self, PyObject* target_rgb, PyObject* pixels_rgb, PyObject* total_pixels,
                 DistinctColors& distinct) {
    Ref target_array = call(attr(module_global<"np">(), name<"array">()), {target_rgb});
    if (!target_array) return Ref();
    const int fast = fast_distances_apply(self, pixels_rgb);
    if (fast < 0) return Ref();
    if (fast) {
        if (!distinct.prepared() && distinct.prepare(pixels_rgb) < 0) return Ref();
        Ref entry;
        const int done = distinct.entry(target_array.get(), total_pixels, &entry);
        if (done != 0) return entry;
    }
    return per_pixel_entry(self, target_array.get(), pixels_rgb, total_pixels);
}

}  // namespace

Ref find_color_matches(ColorExtractor* self, PyObject* image, PyObject* target_colors, PyObject* mask) {
    Ref loaded_image = extraction::load_image(image);
    if (!loaded_image) return Ref();
    // A mask path is read as extract_colors reads it, before the image type is checked.
    Ref loaded_mask = extraction::load_mask(mask);
    if (!loaded_mask || !check_instance_or_none(loaded_image.get(), ndarray_type())) return Ref();
    Ref processed_image = stage::preprocess_image(self, loaded_image.get());
    if (!processed_image) return Ref();
    Ref feature_image = stage::convert_to_feature_space(self, processed_image.get());
    if (!feature_image) return Ref();
    Ref pixels = stage::extract_pixels(self, feature_image.get(), loaded_mask.get());
    if (!pixels) return Ref();
    const Py_ssize_t pixel_count = PyObject_Length(pixels.get());
    if (pixel_count <= 0) return pixel_count < 0 ? Ref() : Ref::steal(PyDict_New());
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
