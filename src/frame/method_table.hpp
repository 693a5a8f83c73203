// The interpreter-visible methods of ColorExtractor and the module-level unpickle function.
#pragma once

#include "frame/function_object.hpp"

namespace lq {

// In the order in which they are put into the class dictionary.
enum class Method {
    preprocess_image,
    convert_to_feature_space,
    apply_mask,
    extract_pixels,
    cluster_colors_kmeans,
    cluster_colors_dbscan,
    calculate_percentages,
    extract_colors,
    visualize_colors,
    color_distance_lab,
    find_closest_color,
    analyze_color_similarity,
    find_color_matches,
    reduce_cython,
    setstate_cython,
    count,
};

const FunctionDef& method_def(Method method);
const FunctionDef& unpickle_function_def();

// The static method-table entries from which the pickling hooks are installed.
extern PyMethodDef extractor_static_methods[];

// Puts a function object for every method into the class dictionary, replacing static descriptors.
int install_methods(PyTypeObject* type);

// Puts __pyx_unpickle_ColorExtractor into the module globals.
int install_unpickle_function(PyObject* module);

}  // namespace lq
