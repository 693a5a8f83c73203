#include "clustering/kmeans_library.hpp"

#include <algorithm>

#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/kernel.hpp"
#include "interop/numpy_api.hpp"

namespace lq::clustering {
namespace {

namespace km = kernels::kmeans;

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

// What KMeans.fit works on: X, the rows as float64 less X.mean(axis=0); their squared norms by the
// module's row_norms; unit sample weights.
struct LibraryRows {
    Ref module;
    Ref x;
    Ref mean;
    Ref x_squared_norms;
    Ref sample_weight;
};

// 0, or -1 with an exception set.
int make_library_rows(const kernels::DistinctRows& colours, const std::vector<std::int32_t>& row_colours,
                      LibraryRows* rows) {
    rows->module = kmeans_module();
    if (!rows->module) return -1;
    npy_intp dims[2] = {static_cast<npy_intp>(row_colours.size()), 3};
    rows->x = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    if (!rows->x) return -1;
    auto* values = static_cast<double*>(PyArray_DATA(as_array(rows->x.get())));
    const int filled = run_kernel(
        [&](kernels::Stop& stop) {
            const auto& colour = colours.colours();
            for (std::size_t i = 0; i < row_colours.size(); ++i) {
                if (i % (1 << 18) == 0) stop.poll();
                for (int f = 0; f < 3; ++f) values[3 * i + f] = colour[row_colours[i]][f];
            }
        },
        Gil::release);
    if (filled < 0) return -1;
    rows->mean = call_method(rows->x, name<"mean">(), {}, {Kw{name<"axis">(), small_int<0>()}});
    Ref centred = rows->mean ? Ref::steal(PyNumber_InPlaceSubtract(rows->x.get(), rows->mean.get())) : Ref();
    Ref row_norms = centred ? attr(rows->module, name<"row_norms">()) : Ref();
    rows->x_squared_norms = row_norms ? call(row_norms, {rows->x}, {Kw{name<"squared">(), Py_True}}) : Ref();
    Ref count = rows->x_squared_norms ? Ref::steal(PyLong_FromSsize_t(dims[0])) : Ref();
    rows->sample_weight = count ? call_method(module_global<"np">(), name<"ones">(), {count}) : Ref();
    return rows->sample_weight ? 0 : -1;
}

// The library's k-means++ for one run: _kmeans_plusplus as KMeans.fit calls it, with RandomState(42)
// advanced by the draws of the runs before. Sets the centres it returns and their rows. 0, or -1
// with an exception set.
int library_seeds(const LibraryRows& rows, int k, std::int64_t draws_before, Ref* centres,
                  std::vector<std::int64_t>* seeds) {
    Ref random = attr(module_global<"np">(), name<"random">());
    Ref random_state = random ? call_method(random, name<"RandomState">(), {small_int<42>()}) : Ref();
    Ref skip = random_state ? Ref::steal(PyLong_FromLongLong(draws_before)) : Ref();
    if (!skip || (draws_before > 0 && !call_method(random_state, name<"random_sample">(), {skip}))) return -1;
    Ref plusplus = attr(rows.module, name<"_kmeans_plusplus">());
    Ref n_clusters = plusplus ? Ref::steal(PyLong_FromLong(k)) : Ref();
    Ref seeded = n_clusters ? call(plusplus, {rows.x, n_clusters},
                                   {Kw{name<"random_state">(), random_state},
                                    Kw{name<"x_squared_norms">(), rows.x_squared_norms},
                                    Kw{name<"sample_weight">(), rows.sample_weight}})
                            : Ref();
    Ref indices;
    if (unpack_pair(seeded.get(), centres, &indices) < 0) return -1;
    Ref found = Ref::steal(PyArray_FROMANY(indices.get(), NPY_INT64, 1, 1, NPY_ARRAY_CARRAY_RO));
    if (!found) return -1;
    const auto* index = static_cast<const std::int64_t*>(PyArray_DATA(as_array(found.get())));
    seeds->assign(index, index + PyArray_DIM(as_array(found.get()), 0));
    const auto n = static_cast<std::int64_t>(PyArray_DIM(as_array(rows.x.get()), 0));
    if (static_cast<int>(seeds->size()) != k ||
        std::any_of(seeds->begin(), seeds->end(), [n](std::int64_t row) { return row < 0 || row >= n; })) {
        PyErr_SetString(PyExc_SystemError, "_kmeans_plusplus gave seeds that are not rows");
        return -1;
    }
    return 0;
}

// Library seeds for the run in place of its undecided native ones. 0, or -1 with an exception set.
int reseed(km::Fit& fit, int run, const LibraryRows& rows, int k, Ref* centres) {
    std::vector<std::int64_t> seeds;
    if (library_seeds(rows, k, fit.draws_before(run), centres, &seeds) < 0) return -1;
    const char* undecided = fit.seeding_undecided(run);
    if (undecided && count_fallback("_kmeans_plusplus", undecided) < 0) return -1;
    fit.take_seeds(run, seeds);
    return 0;
}

}  // namespace

Ref kmeans_module() {
    Ref module_name = attr(module_global<"KMeans">(), name<"__module__">());
    if (!module_name) return Ref();
    Ref module = Ref::steal(PyImport_GetModule(module_name.get()));
    if (!module && !PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "scikit-learn's K-means module is not loaded");
    return module;
}

int count_fallback(const char* what, const char* reason) {
    PyObject* counts = process_state().kmeans_fallbacks;
    Ref call_name = Ref::steal(PyUnicode_FromString(what));
    Ref why = call_name ? Ref::steal(PyUnicode_FromString(reason)) : Ref();
    Ref key = why ? make_tuple({call_name, why}) : Ref();
    if (!key) return -1;
    Ref before = Ref::borrow(PyDict_GetItemWithError(counts, key.get()));
    if (!before && PyErr_Occurred()) return -1;
    Ref after = before ? Ref::steal(PyNumber_Add(before.get(), small_int<1>())) : Ref::borrow(small_int<1>());
    return after ? PyDict_SetItem(counts, key.get(), after.get()) : -1;
}

int warn_if_fewer_clusters(const std::vector<std::int32_t>& labels, int k) {
    std::vector<char> seen(static_cast<size_t>(k), 0);
    int distinct = 0;
    for (std::int32_t label : labels) distinct += !seen[label]++;
    if (distinct >= k) return 0;
    Ref module = kmeans_module();
    Ref category = module ? attr(module, name<"ConvergenceWarning">()) : Ref();
    if (!category) return -1;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Number of distinct clusters (%d) found smaller than n_clusters (%d). Possibly due to duplicate points in X.",
        distinct, k));
    if (!message) return -1;
    return PyErr_WarnEx(category.get(), PyUnicode_AsUTF8(message.get()), 1);
}

int seed_by_library(km::Fit& fit, const std::vector<int>& runs, const kernels::DistinctRows& colours,
                    const std::vector<std::int32_t>& row_colours, int k) {
    LibraryRows rows;
    if (make_library_rows(colours, row_colours, &rows) < 0) return -1;
    for (int run : runs) {
        Ref centres;
        if (reseed(fit, run, rows, k, &centres) < 0) return -1;
    }
    return 0;
}

}  // namespace lq::clustering
