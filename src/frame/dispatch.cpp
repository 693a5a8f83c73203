// The native entries of the overridable methods. An instance of an interpreter subclass (or of any
// type with an instance dict, or an abstract one) may override a stage by defining a method of the same
// name; the entry then calls the override, positionally, and checks its result like the module's own.
#include "frame/extractor.hpp"
#include "frame/methods.hpp"
#include "frame/stages.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "interop/traceback.hpp"
#include "matching/matching.hpp"
#include "preparation/preparation.hpp"

namespace lq {
namespace {

bool may_be_overridden(ColorExtractor* self) {
    PyTypeObject* type = Py_TYPE(self);
    return type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_HEAPTYPE);
}

// yes with the override in *found; no when the module's own body is to run.
Applies find_override(ColorExtractor* self, Stage stage, PyObject* method_name, Ref* found) {
    if (!may_be_overridden(self)) return Applies::no;
    Ref candidate = attr(reinterpret_cast<PyObject*>(self), method_name);
    if (!candidate) return Applies::error;
    if (is_function_of(candidate.get(), &stage_method(stage))) return Applies::no;
    *found = std::move(candidate);
    return Applies::yes;
}

int check_list_result(PyObject* result) {
    if (result == Py_None || PyList_CheckExact(result)) return 0;
    raise_unexpected_type("list", result);
    return -1;
}

// Runs a stage: the override when there is one, else `own()`, and checks the result.
template <typename Own>
PyObject* run_stage(ColorExtractor* self, int skip_dispatch, Stage stage, PyObject* method_name,
                    std::initializer_list<Arg> args, Own own, bool list_result = false) {
    Ref override_function;
    const Applies found = skip_dispatch ? Applies::no : find_override(self, stage, method_name, &override_function);
    Ref result;
    if (found == Applies::yes) result = call(override_function, args);
    else if (found == Applies::no) result = own();
    const int checked = !result       ? -1
                        : list_result ? check_list_result(result.get())
                                      : check_instance_or_none(result.get(), ndarray_type());
    if (checked < 0) {
        add_method_traceback(PyUnicode_AsUTF8(method_name));
        return nullptr;
    }
    return result.release();
}

PyObject* preprocess_image_entry(ColorExtractor* self, PyObject* image, int skip_dispatch) {
    return run_stage(self, skip_dispatch, Stage::preprocess_image, name<"_preprocess_image">(), {image},
                     [&] { return preparation::preprocess_image(self, image); });
}

PyObject* convert_to_feature_space_entry(ColorExtractor* self, PyObject* image, int skip_dispatch) {
    return run_stage(self, skip_dispatch, Stage::convert_to_feature_space, name<"_convert_to_feature_space">(), {image},
                     [&] { return preparation::convert_to_feature_space(self, image); });
}

PyObject* apply_mask_entry(ColorExtractor* self, PyObject* image, PyObject* mask, int skip_dispatch) {
    return run_stage(self, skip_dispatch, Stage::apply_mask, name<"_apply_mask">(), {image, mask},
                     [&] { return preparation::apply_mask(self, image, mask); });
}

PyObject* extract_pixels_entry(ColorExtractor* self, PyObject* image, int skip_dispatch, PyObject* mask) {
    if (!mask) mask = Py_None;
    return run_stage(self, skip_dispatch, Stage::extract_pixels, name<"_extract_pixels">(), {image, mask},
                     [&] { return preparation::extract_pixels(self, image, mask); });
}

PyObject* calculate_percentages_entry(ColorExtractor* self, PyObject* labels, int skip_dispatch) {
    return run_stage(
        self, skip_dispatch, Stage::calculate_percentages, name<"_calculate_percentages">(), {labels},
        [&] { return preparation::calculate_percentages(self, labels); }, true);
}

// The slot's contract (published through the capsule) is a double, -1.0 with an exception set on error.
double color_distance_lab_entry(ColorExtractor* self, PyObject* color1, PyObject* color2, int skip_dispatch) {
    Ref override_function;
    const Applies found = skip_dispatch ? Applies::no
                                        : find_override(self, Stage::color_distance_lab, name<"_color_distance_lab">(),
                                                        &override_function);
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

Applies stage::runs_own(ColorExtractor* self, Stage stage) {
    PyObject* method_name = name<"_color_distance_lab">();
    switch (stage) {
        case Stage::preprocess_image: method_name = name<"_preprocess_image">(); break;
        case Stage::convert_to_feature_space: method_name = name<"_convert_to_feature_space">(); break;
        case Stage::apply_mask: method_name = name<"_apply_mask">(); break;
        case Stage::extract_pixels: method_name = name<"_extract_pixels">(); break;
        case Stage::calculate_percentages: method_name = name<"_calculate_percentages">(); break;
        case Stage::color_distance_lab: break;
    }
    Ref override_function;
    switch (find_override(self, stage, method_name, &override_function)) {
        case Applies::error: return Applies::error;
        case Applies::no: return Applies::yes;
        case Applies::yes: break;
    }
    return Applies::no;
}

const ExtractorOps color_extractor_ops = {
    preprocess_image_entry, convert_to_feature_space_entry, apply_mask_entry,
    extract_pixels_entry,   calculate_percentages_entry,    color_distance_lab_entry,
};

}  // namespace lq
