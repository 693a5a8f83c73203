// The method tables of the module's types and the module-level functions.
#pragma once

#include <span>

#include "frame/extractor.hpp"
#include "frame/function_object.hpp"

namespace lq {

// The interpreter-visible method of an overridable stage: an instance whose lookup finds it runs the
// module's own body.
const FunctionDef& stage_method(Stage stage);

// The static method-table entries from which the pickling hooks are installed.
extern PyMethodDef extractor_static_methods[];

// Puts a function object for each method into the class dictionary (qualified by the class name),
// replacing static descriptors of the same name. The one-argument form installs ColorExtractor's.
int install_methods(PyTypeObject* type, std::span<const FunctionDef* const> methods);
int install_methods(PyTypeObject* type);

// The class whose _cluster_colors_kmeans `method` (a function or bound method) is when it is one whose
// result the native K-means gives (ColorExtractor's or FastColorExtractor's), else null.
const char* native_kmeans_owner(PyObject* method);

// FastColorExtractor's and LibraryColorExtractor's own methods.
std::span<const FunctionDef* const> fast_extractor_methods();
std::span<const FunctionDef* const> library_extractor_methods();

// Puts the module-level functions (__pyx_unpickle_ColorExtractor, _opencv_takes_path) into the module
// globals.
int install_module_functions(PyObject* module);

}  // namespace lq
