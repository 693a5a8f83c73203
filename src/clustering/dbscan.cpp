// _cluster_colors_dbscan: the native path while the library objects are the ones the module imported
// and the pixels are 8-bit rows of three channels; the library path otherwise, or when the native
// path cannot vouch for the library's answer.
#include "clustering/clustering.hpp"
#include "clustering/dbscan_steps.hpp"

namespace lq::clustering {

Ref cluster_colors_dbscan(ColorExtractor* self, PyObject* pixels) {
    const int native = dbscan::native_path_applies(pixels);
    if (native < 0) return Ref();
    if (native) {
        Ref result;
        const int done = dbscan::native_path(self, reinterpret_cast<PyArrayObject*>(pixels), &result);
        if (done < 0) return Ref();
        if (done) return result;
    }
    return dbscan::library_path(self, pixels);
}

}  // namespace lq::clustering
