// DBSCAN through the library objects bound to the module globals, call by call: standardise, cluster,
// one mean colour per group of the unscaled rows, then the cut to the n_colors largest groups.
#include <algorithm>

#include "clustering/dbscan.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"

namespace lq::clustering::dbscan {
namespace {

Ref fit_labels(PyObject* pixels) {
    Ref scaler = call(module_global<"StandardScaler">());
    Ref pixels_scaled = call_method(scaler, name<"fit_transform">(), {pixels});
    if (!pixels_scaled) return Ref();
    const Py_ssize_t rows = PyObject_Length(pixels);
    if (rows < 0) return Ref();
    Ref samples = Ref::steal(PyLong_FromSsize_t(min_samples(rows)));
    Ref estimator = samples ? call(module_global<"DBSCAN">(), {},
                                   {Kw{name<"eps">(), cached_float<0.5>()}, Kw{name<"min_samples">(), samples}})
                            : Ref();
    return call_method(estimator, name<"fit_predict">(), {pixels_scaled});
}

// `label == -1`: 1 for noise, 0 for a group, -1 on error.
int is_noise(PyObject* label) { return compare_bool(label, small_int<-1>(), Py_EQ); }

// visit(label) for each label of unique_labels other than -1, in order; false on error.
template <class Visit>
bool for_each_group(PyObject* unique_labels, Visit visit) {
    Ref labels_iter = Ref::steal(PyObject_GetIter(unique_labels));
    if (!labels_iter) return false;
    while (Ref label = Ref::steal(PyIter_Next(labels_iter.get()))) {
        const int noise = is_noise(label.get());
        if (noise < 0 || (!noise && !visit(label.get()))) return false;
    }
    return !PyErr_Occurred();
}

// One np.mean(pixels[labels == label], axis=0) per group, in ascending label order.
Ref group_means(PyObject* pixels, PyObject* labels, PyObject* unique_labels) {
    Ref colors = Ref::steal(PyList_New(0));
    if (!colors) return Ref();
    const bool done = for_each_group(unique_labels, [&](PyObject* label) {
        Ref cluster_pixels = item(pixels, compare(labels, label, Py_EQ));
        Ref color =
            call(attr(module_global<"np">(), name<"mean">()), {cluster_pixels}, {Kw{name<"axis">(), small_int<0>()}});
        return color && PyList_Append(colors.get(), color.get()) == 0;
    });
    return done ? call(attr(module_global<"np">(), name<"array">()), {colors}) : Ref();
}

// [np.sum(labels == label) for label in unique_labels if label != -1]
Ref group_sizes(PyObject* labels, PyObject* unique_labels) {
    Ref sizes = Ref::steal(PyList_New(0));
    if (!sizes) return Ref();
    const bool done = for_each_group(unique_labels, [&](PyObject* label) {
        Ref size = call(attr(module_global<"np">(), name<"sum">()), {compare(labels, label, Py_EQ)});
        return size && PyList_Append(sizes.get(), size.get()) == 0;
    });
    return done ? sizes : Ref();
}

// The labels with each group renumbered, noise kept at -1.
Ref renumbered(PyObject* labels, PyObject* unique_labels, const std::vector<npy_intp>& numbers) {
    Ref old_labels = Ref::steal(PyArray_FROMANY(labels, NPY_INTP, 0, 0, NPY_ARRAY_CARRAY_RO));
    Ref distinct = old_labels ? Ref::steal(PyArray_FROMANY(unique_labels, NPY_INTP, 1, 1, NPY_ARRAY_CARRAY_RO)) : Ref();
    if (!distinct) return Ref();
    auto* source = as_array(old_labels.get());
    auto* unique_array = as_array(distinct.get());
    std::vector<npy_intp> groups;  // the non-noise labels, ascending
    const auto* unique_values = static_cast<const npy_intp*>(PyArray_DATA(unique_array));
    for (npy_intp i = 0; i < PyArray_SIZE(unique_array); ++i)
        if (unique_values[i] != -1) groups.push_back(unique_values[i]);
    Ref result = Ref::steal(PyArray_SimpleNew(PyArray_NDIM(source), PyArray_DIMS(source), NPY_INTP));
    if (!result) return Ref();
    const auto* in = static_cast<const npy_intp*>(PyArray_DATA(source));
    auto* out = static_cast<npy_intp*>(PyArray_DATA(as_array(result.get())));
    for (npy_intp i = 0; i < PyArray_SIZE(source); ++i) {
        const auto at = std::lower_bound(groups.begin(), groups.end(), in[i]);
        const bool known = in[i] != -1 && at != groups.end() && *at == in[i];
        out[i] =
            known && static_cast<size_t>(at - groups.begin()) < numbers.size() ? numbers[at - groups.begin()] : in[i];
    }
    return result;
}

}  // namespace

Ref library_path(ColorExtractor* self, PyObject* pixels) {
    Ref labels = fit_labels(pixels);
    Ref unique_labels = call(attr(module_global<"np">(), name<"unique">()), {labels});
    Ref colors = unique_labels ? group_means(pixels, labels.get(), unique_labels.get()) : Ref();
    if (!colors) return Ref();
    const Py_ssize_t found = PyObject_Length(colors.get());
    if (found < 0) return Ref();
    if (found > settings(self).n_colors) {
        Ref sizes = group_sizes(labels.get(), unique_labels.get());
        Ref kept;
        colors = sizes ? keep_largest(colors.get(), sizes.get(), settings(self).n_colors, &kept) : Ref();
        std::vector<npy_intp> numbers;
        if (!colors || renumbering(kept.get(), found, &numbers) < 0) return Ref();
        labels = renumbered(labels.get(), unique_labels.get(), numbers);
    }
    return make_tuple({colors, labels});
}

}  // namespace lq::clustering::dbscan
