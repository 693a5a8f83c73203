// The native entries of the overridable methods. An instance of an interpreter subclass (or of any
// type with an instance dict, or an abstract one) may override a stage by defining a method of the same
// name; the entry then calls the override, positionally, and checks its result like the module's own.
#include "chart/chart.hpp"
#include "frame/extractor.hpp"
#include "frame/method_table.hpp"
#include "frame/stages.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/process_state.hpp"
#include "interop/traceback.hpp"
#include "matching/matching.hpp"
#include "preparation/preparation.hpp"

namespace lq {
namespace {

bool may_be_overridden(ColorExtractor* self) {
    PyTypeObject* type = Py_TYPE(self);
    return type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_HEAPTYPE);
}

// 1 with the override in *found, 0 when the module's own body is to run, -1 on error.
int find_override(ColorExtractor* self, PyObject* method_name, Method method, Ref* found) {
    if (!may_be_overridden(self)) return 0;
    Ref candidate = attr(reinterpret_cast<PyObject*>(self), method_name);
    if (!candidate) return -1;
    if (is_function_of(candidate.get(), &method_def(method))) return 0;
    *found = std::move(candidate);
    return 1;
}

bool is_array_result(const Ref& result) { return result && check_instance_or_none(result.get(), ndarray_type()); }

bool is_list_result(const Ref& result) {
    if (!result) return false;
    if (result.is_none() || PyList_CheckExact(result.get())) return true;
    raise_unexpected_type("list", result.get());
    return false;
}

// Runs an array stage: the override when there is one, else `own()`; the result must be an ndarray or
// None either way.
template <typename Own>
PyObject* run_array_stage(ColorExtractor* self, int skip_dispatch, Method method, PyObject* method_name,
                          const char* traceback_name, std::initializer_list<Arg> args, Own own) {
    Ref override_function;
    const int found = skip_dispatch ? 0 : find_override(self, method_name, method, &override_function);
    Ref result;
    if (found == 1)
        result = call(override_function, args);
    else if (found == 0)
        result = own();
    if (!is_array_result(result)) return traced(Ref(), traceback_name).release();
    return result.release();
}

PyObject* preprocess_image_entry(ColorExtractor* self, PyObject* image, int skip_dispatch) {
    return run_array_stage(self, skip_dispatch, Method::preprocess_image, name<"_preprocess_image">(),
                           "_preprocess_image", {image},
                           [&] { return preparation::preprocess_image(self, image); });
}

PyObject* convert_to_feature_space_entry(ColorExtractor* self, PyObject* image, int skip_dispatch) {
    return run_array_stage(self, skip_dispatch, Method::convert_to_feature_space,
                           name<"_convert_to_feature_space">(), "_convert_to_feature_space", {image},
                           [&] { return preparation::convert_to_feature_space(self, image); });
}

PyObject* apply_mask_entry(ColorExtractor* self, PyObject* image, PyObject* mask, int skip_dispatch) {
    return run_array_stage(self, skip_dispatch, Method::apply_mask, name<"_apply_mask">(), "_apply_mask",
                           {image, mask}, [&] { return preparation::apply_mask(self, image, mask); });
}

PyObject* extract_pixels_entry(ColorExtractor* self, PyObject* image, int skip_dispatch, PyObject* mask) {
    if (!mask) mask = Py_None;
    return run_array_stage(self, skip_dispatch, Method::extract_pixels, name<"_extract_pixels">(),
                           "_extract_pixels", {image, mask},
                           [&] { return preparation::extract_pixels(self, image, mask); });
}

PyObject* calculate_percentages_entry(ColorExtractor* self, PyObject* labels, int skip_dispatch) {
    Ref override_function;
    const int found = skip_dispatch ? 0
                                    : find_override(self, name<"_calculate_percentages">(),
                                                    Method::calculate_percentages, &override_function);
    Ref result;
    if (found == 1)
        result = call(override_function, {labels});
    else if (found == 0)
        result = preparation::calculate_percentages(self, labels);
    if (!is_list_result(result)) return traced(Ref(), "_calculate_percentages").release();
    return result.release();
}

double color_distance_lab_entry(ColorExtractor* self, PyObject* color1, PyObject* color2, int skip_dispatch) {
    Ref override_function;
    const int found = skip_dispatch ? 0
                                    : find_override(self, name<"_color_distance_lab">(), Method::color_distance_lab,
                                                    &override_function);
    double distance = -1.0;
    int status = -1;
    if (found == 1) {
        Ref result = call(override_function, {color1, color2});
        status = result ? to_double(result.get(), &distance) : -1;
    } else if (found == 0) {
        status = matching::color_distance_lab(self, color1, color2, &distance);
    }
    if (status < 0) {
        add_method_traceback("_color_distance_lab");
        return -1.0;
    }
    return distance;
}

}  // namespace

int stage::color_distance_is_own(ColorExtractor* self) {
    Ref override_function;
    const int found = find_override(self, name<"_color_distance_lab">(), Method::color_distance_lab, &override_function);
    return found < 0 ? -1 : found == 0;
}

const ExtractorOps color_extractor_ops = {
    preprocess_image_entry,         convert_to_feature_space_entry, apply_mask_entry,
    extract_pixels_entry,           calculate_percentages_entry,    color_distance_lab_entry,
};

}  // namespace lq
