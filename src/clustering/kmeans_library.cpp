#include "clustering/kmeans_library.hpp"

#include <algorithm>

#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/kernel.hpp"
#include "interop/numpy_api.hpp"
#include "preparation/admission.hpp"

namespace lq::clustering {
namespace {

namespace km = kernels::kmeans;

// What KMeans.fit works on: X, the rows as float64 less X.mean(axis=0); their squared norms by the
// module's row_norms; unit sample weights; and the tolerance, which fit takes before centring X.
struct LibraryRows {
    Ref module;
    Ref x;
    Ref mean;
    Ref tol;
    Ref x_squared_norms;
    Ref sample_weight;
};

// 0, or -1 with an exception set. The tolerance only `with_tolerance`.
int make_library_rows(const kernels::DistinctRows& colours, const kernels::RowColours& row_colours, bool with_tolerance,
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
    if (with_tolerance) {
        Ref tolerance = attr(rows->module, name<"_tolerance">());
        Ref relative = Ref::steal(PyFloat_FromDouble(km::library::relative_tolerance));
        rows->tol = relative ? call(tolerance, {rows->x, relative}) : Ref();
        if (!rows->tol) return -1;
    }
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
    Ref random_state = random ? call_method(random, name<"RandomState">(), {small_int<km::library::seed>()}) : Ref();
    Ref skip = random_state ? Ref::steal(PyLong_FromLongLong(draws_before)) : Ref();
    if (!skip || (draws_before > 0 && !call_method(random_state, name<"random_sample">(), {skip}))) return -1;
    Ref plusplus = attr(rows.module, name<"_kmeans_plusplus">());
    Ref n_clusters = plusplus ? Ref::steal(PyLong_FromLong(k)) : Ref();
    Ref seeded =
        n_clusters
            ? call(plusplus, {rows.x, n_clusters},
                   {Kw{name<"random_state">(), random_state}, Kw{name<"x_squared_norms">(), rows.x_squared_norms},
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
    const auto undecided = fit.seeding_undecided(run);
    if (undecided && count_fallback("_kmeans_plusplus", *undecided) < 0) return -1;
    fit.take_seeds(run, seeds);
    return 0;
}

// The library's labels of the rows as labels by colour into *by_colour, left empty unless all rows of a
// colour have one label and, when `distinct`, no two colours have the same. 0, or -1 with an exception
// set.
int labels_by_colour(PyObject* labels, std::int32_t colours, const kernels::RowColours& row_colours, int k,
                     bool distinct, std::vector<std::int32_t>* by_colour) {
    const auto* label = static_cast<const std::int32_t*>(PyArray_DATA(as_array(labels)));
    return run_kernel(
        [&](kernels::Stop& stop) {
        std::vector<std::int32_t> found(static_cast<std::size_t>(colours), -1);
        std::vector<char> taken(static_cast<std::size_t>(k), 0);
        for (std::size_t i = 0; i < row_colours.size(); ++i) {
            if (i % (1 << 18) == 0) stop.poll();
            std::int32_t& own = found[row_colours[i]];
            if (label[i] == own) continue;
            if (label[i] < 0 || label[i] >= k || own >= 0 || (distinct && taken[label[i]])) return;
            own = label[i];
            taken[label[i]] = 1;
        }
        *by_colour = std::move(found);
        },
        Gil::release);
}

// _kmeans_single_lloyd(X, sample_weight, centres, ...) as KMeans.fit calls it for one run: sets *fitted
// to its (labels, inertia, centers, n_iter) and *labels to the labels as int32. 0, or -1 with an
// exception set.
int single_lloyd(const LibraryRows& rows, PyObject* centres, std::size_t row_count, Ref* fitted, Ref* labels) {
    Ref lloyd = attr(rows.module, name<"_kmeans_single_lloyd">());
    Ref threads = lloyd ? call_method(rows.module, name<"_openmp_effective_n_threads">()) : Ref();
    Ref max_iter = threads ? Ref::steal(PyLong_FromLong(km::library::max_iterations)) : Ref();
    *fitted = max_iter ? call(lloyd, {rows.x, rows.sample_weight, centres},
                              {Kw{name<"max_iter">(), max_iter}, Kw{name<"verbose">(), small_int<0>()},
                               Kw{name<"tol">(), rows.tol}, Kw{name<"n_threads">(), threads}})
                       : Ref();
    if (!*fitted) return -1;
    if (!PyTuple_Check(fitted->get()) || PyTuple_GET_SIZE(fitted->get()) != 4) {
        PyErr_SetString(PyExc_SystemError, "_kmeans_single_lloyd gave no (labels, inertia, centers, n_iter)");
        return -1;
    }
    *labels = Ref::steal(PyArray_FROMANY(PyTuple_GET_ITEM(fitted->get(), 0), NPY_INT32, 1, 1, NPY_ARRAY_CARRAY_RO));
    if (!*labels) return -1;
    if (PyArray_DIM(as_array(labels->get()), 0) != static_cast<npy_intp>(row_count)) {
        PyErr_SetString(PyExc_SystemError, "_kmeans_single_lloyd gave labels of another length");
        return -1;
    }
    return 0;
}

// The library's steps work on float64 rows as its KMeans.fit would: admitted as a fit of that many
// rows. 0, or -1 with MemoryError set.
int admit_library_steps(std::size_t rows, int k) {
    const auto count = static_cast<double>(rows);
    return preparation::admission::admit("K-means", count, preparation::admission::library_kmeans_peak(count, k));
}

}  // namespace

Ref kmeans_module() {
    Ref module_name = attr(module_global<"KMeans">(), name<"__module__">());
    if (!module_name) return Ref();
    Ref module = Ref::steal(PyImport_GetModule(module_name.get()));
    if (!module && !PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "scikit-learn's K-means module is not loaded");
    return module;
}

int count_fallback(const char* what, km::library::Reason reason) {
    PyObject* counts = process_state().kmeans_fallbacks;
    Ref call_name = Ref::steal(PyUnicode_FromString(what));
    Ref why = call_name ? Ref::steal(PyUnicode_FromString(km::library::text_of(reason).name)) : Ref();
    Ref key = why ? make_tuple({call_name, why}) : Ref();
    if (!key) return -1;
    Ref before = Ref::borrow(PyDict_GetItemWithError(counts, key.get()));
    if (!before && PyErr_Occurred()) return -1;
    Ref after = before ? Ref::steal(PyNumber_Add(before.get(), small_int<1>())) : Ref::borrow(small_int<1>());
    return after ? PyDict_SetItem(counts, key.get(), after.get()) : -1;
}

int publish_fallback_reasons(PyObject* module) {
    Ref reasons = Ref::steal(PyDict_New());
    if (!reasons) return -1;
    for (const auto& [reason_name, text] : km::library::reasons) {
        Ref value = Ref::steal(PyUnicode_FromString(text));
        if (!value || PyDict_SetItemString(reasons.get(), reason_name, value.get()) < 0) return -1;
    }
    return PyObject_SetAttrString(module, "_kmeans_fallback_reasons", reasons.get());
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
                    const kernels::RowColours& row_colours, int k) {
    if (admit_library_steps(row_colours.size(), k) < 0) return -1;
    LibraryRows rows;
    if (make_library_rows(colours, row_colours, false, &rows) < 0) return -1;
    for (int run : runs) {
        Ref centres;
        if (reseed(fit, run, rows, k, &centres) < 0) return -1;
    }
    return 0;
}

Applies iterate_by_library(km::Fit& fit, const std::vector<int>& runs, const kernels::DistinctRows& colours,
                           const kernels::RowColours& row_colours, int k) {
    if (admit_library_steps(row_colours.size(), k) < 0) return Applies::error;
    LibraryRows rows;
    if (make_library_rows(colours, row_colours, true, &rows) < 0) return Applies::error;
    rows.x_squared_norms = Ref();  // not needed by the iterations
    for (int run : runs) {
        const auto undecided = fit.iteration_undecided(run);
        if (!undecided) continue;
        // The run's initial centres are rows of X (k-means++ picks rows), so the centred colours are
        // bit for bit what the library's own run starts from.
        const std::vector<double> initial = fit.initial_centres(run);
        npy_intp dims[2] = {k, 3};
        Ref centres = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
        if (!centres) return Applies::error;
        std::copy(initial.begin(), initial.end(), static_cast<double*>(PyArray_DATA(as_array(centres.get()))));
        Ref fitted, labels;
        if (single_lloyd(rows, centres.get(), row_colours.size(), &fitted, &labels) < 0) return Applies::error;
        std::vector<std::int32_t> by_colour;
        if (labels_by_colour(labels.get(), colours.count(), row_colours, k, false, &by_colour) < 0)
            return Applies::error;
        if (by_colour.empty()) return count_fallback("KMeans.fit", *undecided) < 0 ? Applies::error : Applies::no;
        const double inertia = PyFloat_AsDouble(PyTuple_GET_ITEM(fitted.get(), 1));
        if (inertia == -1.0 && PyErr_Occurred()) return Applies::error;
        Ref found =
            Ref::steal(PyArray_FROMANY(PyTuple_GET_ITEM(fitted.get(), 2), NPY_DOUBLE, 2, 2, NPY_ARRAY_CARRAY_RO));
        if (!found) return Applies::error;
        if (PyArray_DIM(as_array(found.get()), 0) != k || PyArray_DIM(as_array(found.get()), 1) != 3) {
            PyErr_SetString(PyExc_SystemError, "_kmeans_single_lloyd gave centres of another shape");
            return Applies::error;
        }
        const auto* values = static_cast<const double*>(PyArray_DATA(as_array(found.get())));
        if (count_fallback("_kmeans_single_lloyd", *undecided) < 0) return Applies::error;
        fit.take_run(run, by_colour, inertia, std::vector<double>(values, values + 3 * static_cast<std::size_t>(k)));
    }
    return Applies::yes;
}

// With d < k distinct colours every run's seeds repeat a colour, so its first iteration leaves a
// cluster without rows, and where the library then moves it hangs on its rounding: only its own
// iterations can say. But a run whose seeds include every colour keeps a centre within rounding of
// each colour in every iteration (a cluster of one colour has its mean there, a relocated centre
// lands on a row, and distinct 8-bit colours are at least 1 apart), so it labels each colour alike
// and no two colours alike, to the end. Such runs are all the same clustering but for the label
// numbers, and KMeans.fit replaces its best run only with a different clustering: when the seeds of
// every run include every colour, the fit's result is the first run's, and the library computes
// that run alone.
Applies fit_by_first_run(km::Fit& fit, const kernels::DistinctRows& colours, const kernels::RowColours& row_colours,
                         int k, Ref* result) {
    if (admit_library_steps(row_colours.size(), k) < 0) return Applies::error;
    LibraryRows rows;
    if (make_library_rows(colours, row_colours, true, &rows) < 0) return Applies::error;
    Ref first_centres;
    for (int run = 0; run < km::runs; ++run) {
        // The first run's repeated seeds are the library's to choose; the others only need to
        // include every colour, which their native seeds mostly show already.
        if (run > 0 && fit.covers_every_colour(run)) continue;
        Ref centres;
        if (reseed(fit, run, rows, k, &centres) < 0) return Applies::error;
        if (!fit.covers_every_colour(run))
            return count_fallback("KMeans.fit", km::library::Reason::seeds_miss_colour) < 0 ? Applies::error
                                                                                            : Applies::no;
        if (run == 0) first_centres = centres;
    }
    rows.x_squared_norms = Ref();  // not needed by the iterations
    Ref fitted, labels;
    if (single_lloyd(rows, first_centres.get(), row_colours.size(), &fitted, &labels) < 0) return Applies::error;
    std::vector<std::int32_t> by_colour;
    if (labels_by_colour(labels.get(), colours.count(), row_colours, k, true, &by_colour) < 0) return Applies::error;
    if (by_colour.empty())
        return count_fallback("KMeans.fit", km::library::Reason::first_run_merges) < 0 ? Applies::error : Applies::no;
    // best_centers += X_mean
    Ref centres = Ref::borrow(PyTuple_GET_ITEM(fitted.get(), 2));
    Ref moved = Ref::steal(PyNumber_InPlaceAdd(centres.get(), rows.mean.get()));
    if (!moved || warn_if_fewer_clusters(by_colour, k) < 0) return Applies::error;
    *result = make_tuple({centres, labels});
    return *result ? Applies::yes : Applies::error;
}

}  // namespace lq::clustering
