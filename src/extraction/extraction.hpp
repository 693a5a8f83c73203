// The main operation: the dominant colours of an image with their shares; below it, the parts it is
// made of (one concern per file). Each returns a new reference, or null with an exception set.
#pragma once

#include <vector>

#include "frame/extractor.hpp"
#include "interop/globals.hpp"
#include "interop/ref.hpp"

namespace lq::extraction {

Ref extract_colors(ColorExtractor* self, PyObject* image, PyObject* mask);

// centres.cpp: the cluster centres as 8-bit R, G, B rows.
Ref centres_to_rgb(ColorExtractor* self, PyObject* colors);

// result.cpp: the ColorInfo list, largest share first.
Ref assemble_result(PyObject* colors, PyObject* labels, PyObject* percentages);

// labels.cpp: the distinct labels other than -1 in ascending order, when the labels can name
// centre rows (an integer array whose only negative label is -1): yes with `out` filled, no when the
// labels have another form.
Applies distinct_row_labels(PyObject* labels, std::vector<long long>& out);

}  // namespace lq::extraction
