// Steps of the module's execution that live in their own units. Each returns 0, or -1 with an
// exception set.
#pragma once

#include "interop/python.hpp"

namespace lq {

// builtins.type and NumPy's types, checked against the layout this module was built with; keeps
// numpy.ndarray for every array check.
int import_numpy_types();

// The library module globals: np, cv2, KMeans, DBSCAN, StandardScaler, euclidean_distances, the typing
// names, Image and plt; np and the typing names bound now, the others on first use.
int import_libraries();

// NumPy's native array interface.
int import_numpy_array_api();

}  // namespace lq
