// _cluster_colors_dbscan: the native path while the library objects are the ones the module imported
// and the pixels are 8-bit rows of three channels; the library path otherwise, or when the native
// path cannot vouch for the library's answer. Both end with the same cut to the n_colors largest
// groups, and the new group numbers that keep labels and colours in step after it.
#include "clustering/dbscan.hpp"
#include "clustering/clustering.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "preparation/admission.hpp"

namespace lq::clustering {

Ref cluster_colors_dbscan(ColorExtractor* self, PyObject* pixels) {
    const Applies native = dbscan::native_path_applies(pixels);
    if (native == Applies::error || preparation::admission::admit_dbscan(pixels, native == Applies::yes) < 0)
        return Ref();
    if (native == Applies::yes) {
        Ref result;
        const Applies done = dbscan::native_path(self, pixels, &result);
        if (done == Applies::error) return Ref();
        if (done == Applies::yes) return result;
    }
    return dbscan::library_path(self, pixels);
}

}  // namespace lq::clustering

namespace lq::clustering::dbscan {

Ref keep_largest(PyObject* colors, PyObject* sizes, int n_colors, Ref* kept) {
    Ref argsort = attr(module_global<"np">(), name<"argsort">());
    Ref ascending = call(argsort, {sizes});
    Ref reverse = Ref::steal(PySlice_New(nullptr, nullptr, small_int<-1>()));
    Ref descending = reverse ? item(ascending, reverse) : Ref();
    Ref limit = Ref::steal(PyLong_FromLong(n_colors));
    Ref head = limit ? Ref::steal(PySlice_New(nullptr, limit.get(), nullptr)) : Ref();
    *kept = head ? item(descending, head) : Ref();
    return item(colors, *kept);
}

int renumbering(PyObject* kept, Py_ssize_t groups, std::vector<npy_intp>* numbers) {
    Ref positions = Ref::steal(PyArray_FROMANY(kept, NPY_INTP, 1, 1, NPY_ARRAY_CARRAY_RO));
    if (!positions) return -1;
    const auto* order = static_cast<const npy_intp*>(PyArray_DATA(as_array(positions.get())));
    const npy_intp count = PyArray_SIZE(as_array(positions.get()));
    numbers->assign(groups, -1);
    npy_intp next = 0;
    for (npy_intp i = 0; i < count; ++i)
        if (order[i] >= 0 && order[i] < groups && (*numbers)[order[i]] < 0) (*numbers)[order[i]] = next++;
    for (npy_intp& number : *numbers)
        if (number < 0) number = next++;
    return 0;
}

}  // namespace lq::clustering::dbscan
