// The extractor model: the ColorExtractor object, its internal operation table and the settings an
// operation works with. Every domain folder builds on it; the binding (src/frame) makes it a type.
//
// The table holds the native entries of the six overridable methods. The module's own code calls the
// stages through it, and each entry first defers to an override defined on an interpreter subclass. The
// table's address is published as the `__pyx_vtable__` capsule so that native types deriving from
// ColorExtractor can reuse the entries.
#pragma once

#include "interop/ref.hpp"

namespace lq {

struct ColorExtractor;

// The overridable stages, in the order of their slots in the operation table.
enum class Stage {
    preprocess_image,
    convert_to_feature_space,
    apply_mask,
    extract_pixels,
    calculate_percentages,
    color_distance_lab,
};
inline constexpr int stage_count = 6;

// With skip_dispatch set, an entry runs the module's own body without looking for an override (that
// is how the interpreter-visible methods call it). Array results are new references or null on error;
// the distance is -1.0 with an exception set on error.
struct ExtractorOps {
    PyObject* (*preprocess_image)(ColorExtractor* self, PyObject* image, int skip_dispatch);
    PyObject* (*convert_to_feature_space)(ColorExtractor* self, PyObject* image, int skip_dispatch);
    PyObject* (*apply_mask)(ColorExtractor* self, PyObject* image, PyObject* mask, int skip_dispatch);
    // `mask` may be null, meaning that none was given.
    PyObject* (*extract_pixels)(ColorExtractor* self, PyObject* image, int skip_dispatch, PyObject* mask);
    PyObject* (*calculate_percentages)(ColorExtractor* self, PyObject* labels, int skip_dispatch);
    double (*color_distance_lab)(ColorExtractor* self, PyObject* color1, PyObject* color2, int skip_dispatch);
};

// Constructed in place by tp_new and destroyed explicitly by tp_dealloc.
struct ColorExtractor {
    PyObject_HEAD
    const ExtractorOps* ops;
    int n_colors;
    Ref algorithm;  // an exact str or None
    int preprocessing;
    int lab_space;
};

// The settings an operation works with. extract_colors, analyze_color_similarity and
// find_color_matches take a snapshot of their extractor's settings when they start (an Operation), and
// everything that runs inside them on the same thread reads that snapshot: __init__ or __setstate__
// from another thread, possible whenever the operation runs interpreter code or has released the GIL,
// takes effect for the next operation, never halfway through one.
struct Settings {
    int n_colors;
    PyObject* algorithm;  // borrowed: held by the snapshot or the extractor
    bool preprocessing;
    bool lab_space;
};

// The snapshot of the operation running on this thread for `self`, else the current settings.
Settings settings(ColorExtractor* self) noexcept;

class Operation {
public:
    // Takes the snapshot, unless an operation on this thread already holds one for `self` (an operation
    // called from inside another keeps the outer one's settings).
    explicit Operation(ColorExtractor* self);
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    ColorExtractor* self;
    int n_colors;
    Ref algorithm;
    bool preprocessing;
    bool lab_space;

private:
    bool active_;
};

}  // namespace lq
