// The overridable stages as the module's own code calls them: through the instance's operation table, so
// a subclass's override of the same name is honoured; and the lookup that finds such an override.
#pragma once

#include "interop/globals.hpp"
#include "interop/ref.hpp"
#include "model/extractor.hpp"

namespace lq::stage {

inline Ref preprocess_image(ColorExtractor* self, PyObject* image) {
    return Ref::steal(self->ops->preprocess_image(self, image, 0));
}

inline Ref convert_to_feature_space(ColorExtractor* self, PyObject* image) {
    return Ref::steal(self->ops->convert_to_feature_space(self, image, 0));
}

inline Ref apply_mask(ColorExtractor* self, PyObject* image, PyObject* mask) {
    return Ref::steal(self->ops->apply_mask(self, image, mask, 0));
}

inline Ref extract_pixels(ColorExtractor* self, PyObject* image, PyObject* mask) {
    return Ref::steal(self->ops->extract_pixels(self, image, 0, mask));
}

inline Ref calculate_percentages(ColorExtractor* self, PyObject* labels) {
    return Ref::steal(self->ops->calculate_percentages(self, labels, 0));
}

// 0 and the distance in *out, or -1 with an exception set.
inline int color_distance_lab(ColorExtractor* self, PyObject* color1, PyObject* color2, double* out) {
    const double distance = self->ops->color_distance_lab(self, color1, color2, 0);
    if (distance == -1.0 && PyErr_Occurred()) return -1;
    *out = distance;
    return 0;
}

// The stage's method name, interned.
PyObject* method_name(Stage stage);

// The override of `stage` the instance's lookup finds: yes with it in *found; no when the module's own
// body is to run (the type admits no override, or the lookup finds the module's own method). The native
// entries (frame/dispatch.cpp) ask this before running a stage.
Applies find_override(ColorExtractor* self, Stage stage, Ref* found);

// Whether the native entry of `stage` would run the module's own body for this instance (no override is
// found by the same lookup). Fast paths that replace a stage check this first.
Applies runs_own(ColorExtractor* self, Stage stage);

inline Applies color_distance_is_own(ColorExtractor* self) { return runs_own(self, Stage::color_distance_lab); }

}  // namespace lq::stage
