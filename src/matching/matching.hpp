// Target colour matching: the LAB distance, the closest dominant colour and the two reports, with the
// pieces both reports share.
#pragma once

#include "interop/ref.hpp"
#include "model/extractor.hpp"

namespace lq::matching {

// 0 with the distance in *out, or -1 with an exception set.
int color_distance_lab(ColorExtractor* self, PyObject* color1, PyObject* color2, double* out);
Ref find_closest_color(ColorExtractor* self, PyObject* target_color, PyObject* image_colors);
Ref analyze_color_similarity(ColorExtractor* self, PyObject* image, PyObject* target_colors, PyObject* mask,
                             double similarity_threshold);
Ref find_color_matches(ColorExtractor* self, PyObject* image, PyObject* target_colors, PyObject* mask);

// The closeness score both reports give: (scale - distance) / scale * 100, computed with the
// interpreter's number protocol (subtraction, true division, multiplication by the int 100) and kept
// when above 0, else the int 0.
Ref clamped_score(PyObject* scale, PyObject* distance);

// Calls body(name, value) for each item of the exact dict `targets`, in order, holding its own
// references to both. Like a for loop over items(), a change of the dict's size between two steps
// raises RuntimeError "dictionary changed size during iteration". 0, or -1 with an exception set.
template <typename Body>
int for_each_target(PyObject* targets, Body body) {
    const Py_ssize_t size = PyDict_GET_SIZE(targets);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (;;) {
        if (PyDict_GET_SIZE(targets) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        if (!PyDict_Next(targets, &position, &key, &value)) return 0;
        Ref name = Ref::borrow(key);
        Ref target = Ref::borrow(value);
        if (body(name.get(), target.get()) < 0) return -1;
    }
}

}  // namespace lq::matching
