// The library globals of the module. The operations look these globals up at the moment of use; the
// objects their imports give are also remembered, so that fast paths can tell whether a global still is
// the library they were proven equal to. Only NumPy (which the module needs for its arrays anyway) and
// the typing names its annotations use are bound at import; the rest on first use, so that importing
// the module for the catalogue's queries does not import scikit-learn, OpenCV, Pillow or pyplot.
#include "frame/initialisation.hpp"
#include "interop/globals.hpp"

namespace lq {
namespace {

constexpr LibraryGlobal library_globals[] = {
    {"np", "numpy", nullptr, true},
    {"cv2", "cv2"},
    // The native K-means stands in for these methods only while they are the library's own.
    {"KMeans", "sklearn.cluster", "KMeans", false, {"fit", "fit_predict"}},
    {"DBSCAN", "sklearn.cluster", "DBSCAN"},
    {"StandardScaler", "sklearn.preprocessing", "StandardScaler"},
    {"euclidean_distances", "sklearn.metrics.pairwise", "euclidean_distances"},
    {"List", "typing", "List", true},
    {"Tuple", "typing", "Tuple", true},
    {"Optional", "typing", "Optional", true},
    {"Union", "typing", "Union", true},
    {"Dict", "typing", "Dict", true},
    {"Image", "PIL", "Image"},
    {"plt", "matplotlib.pyplot"},
};

}  // namespace

int import_libraries() { return use_library_globals(library_globals); }

}  // namespace lq
