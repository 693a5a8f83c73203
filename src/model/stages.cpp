// Overrides of the stages: an instance of an interpreter subclass (or of any type with an instance dict,
// or an abstract one) may override a stage by defining a method of the same name.
#include "model/stages.hpp"

#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "model/known_methods.hpp"

namespace lq::stage {
namespace {

bool may_be_overridden(ColorExtractor* self) {
    PyTypeObject* type = Py_TYPE(self);
    return type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_HEAPTYPE);
}

}  // namespace

PyObject* method_name(Stage stage) {
    switch (stage) {
        case Stage::preprocess_image: return name<"_preprocess_image">();
        case Stage::convert_to_feature_space: return name<"_convert_to_feature_space">();
        case Stage::apply_mask: return name<"_apply_mask">();
        case Stage::extract_pixels: return name<"_extract_pixels">();
        case Stage::calculate_percentages: return name<"_calculate_percentages">();
        case Stage::color_distance_lab: break;
    }
    return name<"_color_distance_lab">();
}

Applies find_override(ColorExtractor* self, Stage stage, Ref* found) {
    if (!may_be_overridden(self)) return Applies::no;
    Ref candidate = attr(reinterpret_cast<PyObject*>(self), method_name(stage));
    if (!candidate) return Applies::error;
    if (model::is_stage_method(candidate.get(), stage)) return Applies::no;
    *found = std::move(candidate);
    return Applies::yes;
}

Applies runs_own(ColorExtractor* self, Stage stage) {
    Ref override_function;
    switch (find_override(self, stage, &override_function)) {
        case Applies::error: return Applies::error;
        case Applies::no: return Applies::yes;
        case Applies::yes: break;
    }
    return Applies::no;
}

}  // namespace lq::stage
