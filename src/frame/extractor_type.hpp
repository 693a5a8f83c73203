// The ColorExtractor type and its native variants, made from the model's object (model/extractor.hpp).
#pragma once

#include "model/extractor.hpp"

namespace lq {

extern PyTypeObject ColorExtractorType;
// Native subtypes with the same layout, construction, operations and pickling (pickles name the
// instance's own type): one whose _cluster_colors_kmeans, called directly too, is the native K-means,
// and one whose K-means is always the library call itself.
extern PyTypeObject FastColorExtractorType;
extern PyTypeObject LibraryColorExtractorType;
extern const ExtractorOps color_extractor_ops;

inline bool is_color_extractor(PyObject* object) { return PyObject_TypeCheck(object, &ColorExtractorType); }

// Makes the type ready and publishes it on the module: operation table, __init__ docstring, the
// capsule, the module attribute and the pickling hooks. -1 with an exception set on failure.
int ready_extractor_type(PyObject* module);

// Makes FastColorExtractor and LibraryColorExtractor ready with their own methods and publishes them,
// with the _kmeans_fallbacks counts; after ColorExtractor's methods are installed. -1 with an exception
// set on failure.
int ready_extractor_variants(PyObject* module);

}  // namespace lq
