// Which methods are the module's own. The binding (src/frame) declares the methods and makes their
// function objects; while the module executes it tells the model how to read the declaration a function
// object was made from and which declarations are the stages' methods and the K-means methods. The model
// then tells the module's own methods from overrides without knowing how function objects are made.
#pragma once

#include "interop/ref.hpp"
#include "model/extractor.hpp"

namespace lq::model {

// The declaration a function object, or a bound method of one, was made from; null for anything else.
using DefinitionOf = const void* (*)(PyObject* function);

void know_definitions(DefinitionOf reader);
void know_stage_method(Stage stage, const void* definition);
// A _cluster_colors_kmeans declaration and the class it is installed on; `native` when the native K-means
// gives its result. Telling the same declaration again replaces what was told. -1 with MemoryError set.
int know_kmeans_method(const void* definition, PyTypeObject* owner, bool native);

// Whether `function` was made from `definition`.
bool made_from(PyObject* function, const void* definition);

// The interpreter-visible method of `stage`: an instance whose lookup finds it runs the module's own body.
bool is_stage_method(PyObject* function, Stage stage);

// The class name of the native K-means method `function` is, or null when it is not one.
const char* native_kmeans_class(PyObject* function);

// Whether `function` is a _cluster_colors_kmeans that is the library call.
bool is_library_kmeans(PyObject* function);

// Whether an extractor of `type` descends from a class whose _cluster_colors_kmeans is the library call.
bool library_kmeans_lineage(PyTypeObject* type);

}  // namespace lq::model
