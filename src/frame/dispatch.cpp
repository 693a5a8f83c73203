// The native entries of the overridable methods. When the instance's lookup finds an override of the
// stage (model/stages.hpp), the entry calls it, positionally, and checks its result like the module's own.
#include "frame/extractor_type.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "interop/traceback.hpp"
#include "matching/matching.hpp"
#include "model/stages.hpp"
#include "preparation/preparation.hpp"

namespace lq {
namespace {

int check_list_result(PyObject* result) {
    if (result == Py_None || PyList_CheckExact(result)) return 0;
    raise_unexpected_type("list", result);
    return -1;
}

// Runs a stage: the override when there is one, else `own()`, and checks the result.
template <typename Own>
PyObject* run_stage(ColorExtractor* self, int skip_dispatch, Stage stage, std::initializer_list<Arg> args, Own own,
                    bool list_result = false) {
    Ref override_function;
    const Applies found = skip_dispatch ? Applies::no : stage::find_override(self, stage, &override_function);
    Ref result;
    if (found == Applies::yes) result = call(override_function, args);
    else if (found == Applies::no) result = own();
    const int checked = !result       ? -1
                        : list_result ? check_list_result(result.get())
                                      : check_instance_or_none(result.get(), ndarray_type());
    if (checked < 0) {
        add_method_traceback(PyUnicode_AsUTF8(stage::method_name(stage)));
        return nullptr;
    }
    return result.release();
}

PyObject* preprocess_image_entry(ColorExtractor* self, PyObject* image, int skip_dispatch) {
    return run_stage(self, skip_dispatch, Stage::preprocess_image, {image},
                     [&] { return preparation::preprocess_image(self, image); });
}

PyObject* convert_to_feature_space_entry(ColorExtractor* self, PyObject* image, int skip_dispatch) {
    return run_stage(self, skip_dispatch, Stage::convert_to_feature_space, {image},
                     [&] { return preparation::convert_to_feature_space(self, image); });
}

PyObject* apply_mask_entry(ColorExtractor* self, PyObject* image, PyObject* mask, int skip_dispatch) {
    return run_stage(self, skip_dispatch, Stage::apply_mask, {image, mask},
                     [&] { return preparation::apply_mask(self, image, mask); });
}

PyObject* extract_pixels_entry(ColorExtractor* self, PyObject* image, int skip_dispatch, PyObject* mask) {
    if (!mask) mask = Py_None;
    return run_stage(self, skip_dispatch, Stage::extract_pixels, {image, mask},
                     [&] { return preparation::extract_pixels(self, image, mask); });
}

PyObject* calculate_percentages_entry(ColorExtractor* self, PyObject* labels, int skip_dispatch) {
    return run_stage(
        self, skip_dispatch, Stage::calculate_percentages, {labels},
        [&] { return preparation::calculate_percentages(self, labels); }, true);
}

// The slot's contract (published through the capsule) is a double, -1.0 with an exception set on error.
double color_distance_lab_entry(ColorExtractor* self, PyObject* color1, PyObject* color2, int skip_dispatch) {
    Ref override_function;
    const Applies found =
        skip_dispatch ? Applies::no : stage::find_override(self, Stage::color_distance_lab, &override_function);
    double distance = -1.0;
    int status = -1;
    if (found == Applies::yes) status = to_double(call(override_function, {color1, color2}).get(), &distance);
    else if (found == Applies::no) status = matching::color_distance_lab(self, color1, color2, &distance);
    if (status < 0) {
        add_method_traceback("_color_distance_lab");
        return -1.0;
    }
    return distance;
}

}  // namespace

const ExtractorOps color_extractor_ops = {
    preprocess_image_entry, convert_to_feature_space_entry, apply_mask_entry,
    extract_pixels_entry,   calculate_percentages_entry,    color_distance_lab_entry,
};

}  // namespace lq
