// The method tables of the module's types and the module-level functions.
#pragma once

#include <span>

#include "frame/function_object.hpp"
#include "model/extractor.hpp"

namespace lq {

// The static method-table entries from which the pickling hooks are installed.
extern PyMethodDef extractor_static_methods[];

// Puts a function object for each method into the class dictionary (qualified by the class name),
// replacing static descriptors of the same name. The one-argument form installs ColorExtractor's.
int install_methods(PyTypeObject* type, std::span<const FunctionDef* const> methods);
int install_methods(PyTypeObject* type);

// FastColorExtractor's and LibraryColorExtractor's own methods.
std::span<const FunctionDef* const> fast_extractor_methods();
std::span<const FunctionDef* const> library_extractor_methods();

// Tells the model which declarations are the stages' methods and the K-means methods, and how to read a
// function object's declaration (model/known_methods.hpp); once the three classes are ready. -1 with an
// exception set on failure.
int tell_model_methods();

// Puts the module-level functions (__pyx_unpickle_ColorExtractor, _opencv_takes_path, _available_memory,
// _peak_estimate, _colour_distribution, and the colour index's _colour_index, _colour_shares and
// _signature_shared) into the module globals.
int install_module_functions(PyObject* module);

}  // namespace lq
