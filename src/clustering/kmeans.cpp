// K-means over the pixel rows, or the distinct rows themselves when there are fewer rows than colours.
#include "clustering/clustering.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "kernels/kmeans/library.hpp"
#include "preparation/admission.hpp"

namespace lq::clustering {
namespace {

// Too few rows to cluster: every distinct row is a colour (ascending row order), and each pixel row
// is labelled with the index of its distinct row, so that the shares count pixels, not colours.
Ref distinct_rows(PyObject* pixels) {
    Ref rows = call_method(pixels, name<"reshape">(), {small_int<-1>(), small_int<3>()});
    if (!rows) return Ref();
    Ref found = call_method(module_global<"np">(), name<"unique">(), {rows},
                            {Kw{name<"axis">(), small_int<0>()}, Kw{name<"return_inverse">(), Py_True}});
    if (!found) return Ref();
    Ref colors, inverse;
    if (unpack_pair(found.get(), &colors, &inverse) < 0) return Ref();
    // NumPy 2.0.0 shapes the inverse (N, 1) when an axis is given; later versions give (N,).
    Ref labels = call_method(inverse, name<"reshape">(), {small_int<-1>()});
    return make_tuple({colors, labels});
}

Ref kmeans(ColorExtractor* self, PyObject* pixels) {
    Ref n_clusters = Ref::steal(PyLong_FromLong(settings(self).n_colors));
    if (!n_clusters) return Ref();
    Ref estimator = call(
        module_global<"KMeans">(), {},
        {Kw{name<"n_clusters">(), n_clusters}, Kw{name<"random_state">(), small_int<kernels::kmeans::library::seed>()},
         Kw{name<"n_init">(), small_int<kernels::kmeans::library::runs>()}});
    Ref labels = call_method(estimator, name<"fit_predict">(), {pixels});
    Ref colors = attr(estimator, name<"cluster_centers_">());
    return make_tuple({colors, labels});
}

}  // namespace

Ref cluster_colors_kmeans(ColorExtractor* self, PyObject* pixels) {
    const Py_ssize_t rows = PyObject_Length(pixels);
    if (rows < 0) return Ref();
    if (rows < settings(self).n_colors) return distinct_rows(pixels);
    if (preparation::admission::admit_library_kmeans(pixels, settings(self).n_colors) < 0) return Ref();
    return kmeans(self, pixels);
}

}  // namespace lq::clustering
