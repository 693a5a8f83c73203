// The main operation: the dominant colours of an image with their shares; below it, the parts it is
// made of (one concern per file). Each returns a new reference, or null with an exception set.
#pragma once

#include <optional>
#include <vector>

#include "interop/globals.hpp"
#include "interop/ref.hpp"
#include "kernels/cluster_sums.hpp"
#include "model/extractor.hpp"

namespace lq::extraction {

Ref extract_colors(ColorExtractor* self, PyObject* image, PyObject* mask);

// centres.cpp: the cluster centres as 8-bit R, G, B rows; `sums` (when known) are the exact sums of the
// rows of each centre's cluster, centre row j being the centre of label j.
Ref centres_to_rgb(ColorExtractor* self, PyObject* colors, const kernels::ClusterSums* sums);

// The sums of the pixel rows by label, one cluster per centre row, where they can tell a mean: floating
// point centres in rows of three, 8-bit N x 3 pixel rows and one integer label per row. yes with *sums set.
Applies cluster_sums_of(PyObject* colors, PyObject* pixels, PyObject* labels, kernels::ClusterSums* sums);

// result.cpp: the ColorInfo list, largest share first.
Ref assemble_result(PyObject* colors, PyObject* labels, PyObject* percentages);
// The same for the distinct labels themselves (ascending, one share each, label L naming centre row L).
Ref assemble_result_by_labels(PyObject* colors, const std::vector<long long>& labels, PyObject* percentages);

// image_road.cpp: extract_colors with K-means straight from the feature image, without an array of pixel
// rows, where no stage it would skip is overridden: yes with *result set; no for the interpreter's road.
Applies extract_from_image(ColorExtractor* self, PyObject* feature_image, PyObject* mask, Ref* result);

// extract_colors.cpp: clustering result to ColorInfo list, given the rows that were clustered.
Ref colors_of_clusters(ColorExtractor* self, PyObject* pixels, PyObject* clustered,
                       std::optional<kernels::ClusterSums> sums);

// labels.cpp: the distinct labels other than -1 in ascending order, when the labels can name
// centre rows (an integer array whose only negative label is -1): yes with `out` filled, no when the
// labels have another form.
Applies distinct_row_labels(PyObject* labels, std::vector<long long>& out);

}  // namespace lq::extraction
