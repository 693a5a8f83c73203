// FastColorExtractor: a ColorExtractor whose _cluster_colors_kmeans is the native K-means.
#pragma once

#include "interop/python.hpp"

namespace lq {

extern PyTypeObject FastColorExtractorType;

// Makes the type ready, gives it its _cluster_colors_kmeans function object and publishes it on the
// module. Runs after ColorExtractor's methods are installed. -1 with an exception set on failure.
int ready_fast_extractor_type(PyObject* module);

}  // namespace lq
