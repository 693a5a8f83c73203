// How an operation clusters: the one place that decides it, asked by extract_colors (which clustering
// runs), by its image road (whether it applies) and by admission (which peak estimate applies).
#pragma once

#include "interop/applies.hpp"
#include "interop/ref.hpp"
#include "model/extractor.hpp"

namespace lq::model {

enum class Route {
    error,                // an exception is set
    unknown_algorithm,    // neither "kmeans" nor "dbscan": ValueError once clustering starts
    library_kmeans,       // a class's own _cluster_colors_kmeans that is the library call: called as it is
    native_kmeans_rows,   // the module's own native K-means, on the pixel rows
    native_kmeans_image,  // the same straight from the feature image: every stage it skips is the module's own
    dbscan,               // _cluster_colors_dbscan as the instance's lookup finds it
    own_method,           // a subclass's or an instance's _cluster_colors_kmeans: called as it is
};

// How far the question is taken; a subclass can observe the lookups, so each caller asks for those it
// made before the route was decided in one place, and no more.
enum class Horizon {
    // The settings and the type alone, before anything runs: no lookup, no failure. The algorithm is
    // checked once clustering starts, so anything but "dbscan" is taken for K-means here, the native one
    // unless the extractor descends from a class whose K-means is the library call.
    settings,
    // Clustering the pixel rows: _cluster_colors_kmeans is looked up on the instance.
    rows,
    // Whether the image road applies: as `rows`, then, for the native K-means, whether every stage before
    // it and every stage it skips (_apply_mask only with a mask) is the module's own.
    image,
};

struct Decision {
    Route route = Route::error;
    Ref method;                   // _cluster_colors_kmeans as looked up, when it was
    const char* owner = nullptr;  // for the native K-means: the class whose method it is, as tracebacks name it
};

// `mask` matters to the image horizon only (None: no mask).
Decision route(ColorExtractor* self, PyObject* mask, Horizon horizon);

// Raises "Unknown algorithm: <algorithm>" as ValueError.
void raise_unknown_algorithm(ColorExtractor* self);

}  // namespace lq::model
