// The native K-means path: the gate, the library facts it relies on (BLAS dgemm, NumPy's row-norm
// order), the fit with the GIL released (with the library's own calls where it needs them), and the
// (centres, labels) pair.
#include "clustering/kmeans_native.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "clustering/clustering.hpp"
#include "clustering/kmeans_library.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/kernel.hpp"
#include "interop/numpy_api.hpp"
#include "kernels/cluster_sums.hpp"
#include "kernels/distinct_rows.hpp"
#include "kernels/kmeans/kmeans.hpp"
#include "preparation/preparation.hpp"

namespace lq::clustering {
namespace {

namespace km = kernels::kmeans;

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

// The scikit-learn releases whose KMeans the native fit reproduces: 1.9.x (checked against 1.9.1). The
// fit follows that release's code (seeding, Lloyd iterations, relocation, choice of the best run).
Applies sklearn_version_supported() {
    Ref module_name = Ref::steal(PyUnicode_FromString("sklearn"));
    Ref sklearn = module_name ? Ref::steal(PyImport_GetModule(module_name.get())) : Ref();
    if (!sklearn) return PyErr_Occurred() ? Applies::error : Applies::no;
    Ref version = attr(sklearn, name<"__version__">());
    const char* text = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return Applies::no;
    }
    return std::strncmp(text, "1.9.", 4) == 0 || std::strcmp(text, "1.9") == 0 ? Applies::yes : Applies::no;
}

// A deterministic spread of test values in [-128, 128) with all 53 bits of precision, so that
// different roundings give different results.
double probe_value(std::uint64_t& state) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<double>(state >> 11) / 9007199254740992.0 * 256.0 - 128.0;
}

// The labels are computed per colour, so dgemm must give a row the same value whatever block it is
// in and wherever; true for the OpenBLAS kernels seen, checked here for the one at hand. Sets *fused
// when its values are also those of the fused multiply-add chain that the fit can compute itself.
bool rows_independent(km::Dgemm dgemm, bool* fused) {
    constexpr int k = 7, rows = 512;
    std::uint64_t state = 12345;
    std::vector<double> centres(k * 3), x(rows * 3), norms(k);
    for (double& v : centres) v = probe_value(state);
    for (double& v : x) v = probe_value(state);
    for (int j = 0; j < k; ++j) norms[j] = km::squared_norm(&centres[3 * j], km::NormOrder::first01);
    auto block = [&](int first, int count) {
        std::vector<double> out(static_cast<size_t>(count) * k);
        for (int r = 0; r < count; ++r)
            for (int j = 0; j < k; ++j) out[static_cast<size_t>(r) * k + j] = norms[j];
        char trans = 't', no_trans = 'n';
        int m = k, n = count, features = 3, ldc = k;
        double alpha = -2.0, beta = 1.0;
        dgemm(&trans, &no_trans, &m, &n, &features, &alpha, centres.data(), &features, &x[3 * first], &features,
              &beta, out.data(), &ldc);
        return out;
    };
    std::vector<double> whole = block(0, 256);
    const std::vector<double> rest = block(256, 256);
    whole.insert(whole.end(), rest.begin(), rest.end());
    for (int count : {1, 2, 3, 5, 8, 13, 31, 64, 100, 255})
        for (int first : {0, 1, 6, 44}) {
            const std::vector<double> part = block(first, count);
            if (std::memcmp(part.data(), &whole[static_cast<size_t>(first) * k], part.size() * sizeof(double)) != 0)
                return false;
        }
    std::vector<double> own(whole.size());
    km::fused_distances(x.data(), rows, centres.data(), norms.data(), k, own.data());
    *fused = std::memcmp(own.data(), whole.data(), own.size() * sizeof(double)) == 0;
    return true;
}

// dgemm from SciPy's BLAS table, the one scikit-learn's Lloyd iterations call; null when absent or
// when its rows are not independent. *fused tells whether the fit may compute its values itself.
km::Dgemm find_dgemm(bool* fused = nullptr) {
    static bool looked = false, same_as_fused = false;
    static km::Dgemm found = nullptr;
    if (fused) *fused = same_as_fused;
    if (looked) return found;
    looked = true;
    Ref module = Ref::steal(PyImport_ImportModule("scipy.linalg.cython_blas"));
    Ref table = module ? attr(module, name<"__pyx_capi__">()) : Ref();
    Ref key = table ? Ref::steal(PyUnicode_FromString("dgemm")) : Ref();
    Ref capsule = key ? item(table, key) : Ref();
    void* pointer = nullptr;
    if (capsule && PyCapsule_CheckExact(capsule.get()))
        pointer = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
    PyErr_Clear();
    if (!pointer) return nullptr;
    const auto dgemm = reinterpret_cast<km::Dgemm>(pointer);
    if (rows_independent(dgemm, &same_as_fused)) found = dgemm;
    if (fused) *fused = same_as_fused;
    return found;
}

// The order in which np.einsum("ij,ij->i") (scikit-learn's row_norms) adds the squares of a
// k x 3 array, found by asking it: yes with *order set, no when no known order fits. The answers are
// kept per k (read and written with the GIL held).
Applies norm_order(int k, km::NormOrder* order) {
    static std::unordered_map<int, int> known;  // k -> order, or -1 for none
    if (const auto at = known.find(k); at != known.end()) {
        if (at->second < 0) return Applies::no;
        *order = static_cast<km::NormOrder>(at->second);
        return Applies::yes;
    }
    constexpr km::NormOrder orders[] = {km::NormOrder::first01, km::NormOrder::first02, km::NormOrder::first12};
    bool fits[3] = {true, true, true};
    std::uint64_t state = 777;
    Ref einsum = attr(module_global<"np">(), name<"einsum">());
    Ref subscripts = Ref::steal(PyUnicode_FromString("ij,ij->i"));
    if (!einsum || !subscripts) return Applies::error;
    for (int tested = 0; tested < 64; tested += k) {
        npy_intp dims[2] = {k, 3};
        Ref rows = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
        if (!rows) return Applies::error;
        auto* values = static_cast<double*>(PyArray_DATA(as_array(rows.get())));
        for (int i = 0; i < 3 * k; ++i) values[i] = probe_value(state) * (1 + i % 3);
        Ref norms = call(einsum, {subscripts, rows, rows});
        Ref array = norms ? Ref::steal(PyArray_FROMANY(norms.get(), NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO)) : Ref();
        if (!array) return Applies::error;
        if (PyArray_DIM(as_array(array.get()), 0) != k) return Applies::no;
        const auto* got = static_cast<const double*>(PyArray_DATA(as_array(array.get())));
        for (int o = 0; o < 3; ++o)
            for (int r = 0; r < k; ++r)
                if (km::squared_norm(&values[3 * r], orders[o]) != got[r]) fits[o] = false;
    }
    int found = -1;
    for (int o = 2; o >= 0; --o)
        if (fits[o]) found = o;
    known[k] = found;
    if (found < 0) return Applies::no;
    *order = orders[found];
    return Applies::yes;
}

// As many threads as scikit-learn's own K-means would use (it honours OMP_NUM_THREADS and
// threadpoolctl limits, as set for batch workers).
int worker_count() {
    Ref module = kmeans_module();
    Ref threads = module ? call_method(module, name<"_openmp_effective_n_threads">()) : Ref();
    const long count = threads ? PyLong_AsLong(threads.get()) : -1;
    if (count < 1) {
        PyErr_Clear();
        return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }
    return static_cast<int>(count);
}

// Whether the native fit may stand in for the library call: yes, or no with *why set when the library
// is to fit (null when no fit is needed at all: fewer rows than colours, or a setting KMeans rejects).
Applies native_path_applies(int n_colors, PyObject* pixels, km::NormOrder* order, const char** why) {
    *why = nullptr;
    // What is no array, or too short to fit, is the library path's to handle or reject.
    if (!PyArray_Check(pixels) || PyArray_NDIM(as_array(pixels)) == 0) return Applies::no;
    const npy_intp rows = PyArray_DIM(as_array(pixels), 0);
    if (n_colors < 1 || rows < n_colors) return Applies::no;
    const Applies rows_fit = preparation::native_rows_apply(pixels, {});
    if (rows_fit != Applies::yes) {
        *why = "pixel rows that are not an exact 8-bit N x 3 array";
        return rows_fit;
    }
    for (PyObject* library : {name<"KMeans">(), name<"np">()}) {
        const Applies same = global_is_as_imported(library);
        if (same != Applies::yes) {
            *why = "the module's KMeans or np rebound";
            return same;
        }
    }
    for (const char* method : {"fit", "fit_predict"}) {
        const Applies same = attribute_is_as_imported("KMeans", method);
        if (same != Applies::yes) {
            *why = "KMeans.fit or KMeans.fit_predict replaced";
            return same;
        }
    }
    // Row counts are kept in 32 bits.
    if (rows > INT32_MAX) {
        *why = "more than 2^31 - 1 pixel rows";
        return Applies::no;
    }
    const Applies supported = sklearn_version_supported();
    if (supported != Applies::yes) {
        *why = "a scikit-learn release other than 1.9";
        return supported;
    }
    if (!find_dgemm()) {
        *why = "no BLAS dgemm whose rows are independent";
        return Applies::no;
    }
    const Applies known = norm_order(n_colors, order);
    if (known == Applies::no) *why = "row norms added in an order not known";
    return known;
}

Ref pair(const km::Result& fitted, const std::vector<std::int32_t>& row_colours, int k) {
    npy_intp centre_dims[2] = {k, 3};
    Ref colors = Ref::steal(PyArray_SimpleNew(2, centre_dims, NPY_DOUBLE));
    if (!colors) return Ref();
    std::memcpy(PyArray_DATA(as_array(colors.get())), fitted.centres.data(), fitted.centres.size() * sizeof(double));
    npy_intp rows = static_cast<npy_intp>(row_colours.size());
    Ref labels = Ref::steal(PyArray_SimpleNew(1, &rows, NPY_INT32));
    if (!labels) return Ref();
    auto* out = static_cast<std::int32_t*>(PyArray_DATA(as_array(labels.get())));
    if (run_kernel([&](kernels::Stop&) { for (npy_intp i = 0; i < rows; ++i) out[i] = fitted.labels[row_colours[i]]; },
                   Gil::release) < 0)
        return Ref();
    if (warn_if_fewer_clusters(fitted.labels, k) < 0) return Ref();
    return make_tuple({colors, labels});
}

// yes with *result set; no when the fit leaves the answer to the library.
Applies native_fit(int n_colors, PyObject* pixels, km::NormOrder order, Ref* result,
                   std::optional<kernels::ClusterSums>* sums) {
    const int workers = worker_count();
    bool fused = false;
    const km::Dgemm dgemm = find_dgemm(&fused);
    preparation::PrivateRows copy;
    if (preparation::copy_rows(pixels, &copy) < 0) return Applies::error;
    const kernels::ByteRows rows = copy.view();
    std::vector<std::int32_t> row_colours;
    std::optional<kernels::DistinctRows> colours;
    std::optional<km::Fit> fit;
    std::vector<int> open;
    if (run_kernel(
            [&](kernels::Stop& stop) {
                colours.emplace(rows, &row_colours);
                fit.emplace(km::Problem{rows, *colours, row_colours, n_colors, dgemm, fused, order, workers}, stop);
                open = fit->seed(stop);
                std::vector<std::uint8_t>().swap(copy.bytes);  // the rows are not read again
            },
            Gil::release) < 0)
        return Applies::error;
    if (colours->count() < n_colors) return fit_by_first_run(*fit, *colours, row_colours, n_colors, result);
    if (!open.empty() && seed_by_library(*fit, open, *colours, row_colours, n_colors) < 0) return Applies::error;
    km::Result fitted;
    if (run_kernel([&](kernels::Stop& stop) { fitted = fit->finish(stop); }, Gil::release) < 0) return Applies::error;
    if (fitted.undecided) return count_fallback("KMeans.fit", fitted.undecided) < 0 ? Applies::error : Applies::no;
    if (sums) sums->emplace(kernels::sum_by_colour_label(*colours, fitted.labels, n_colors));
    *result = pair(fitted, row_colours, n_colors);
    return *result ? Applies::yes : Applies::error;
}

}  // namespace

Ref kmeans_native_or_library(ColorExtractor* self, PyObject* pixels, std::optional<kernels::ClusterSums>* sums) {
    const int n_colors = settings(self).n_colors;
    km::NormOrder order{};
    const char* why = nullptr;
    const Applies applies = native_path_applies(n_colors, pixels, &order, &why);
    if (applies == Applies::error) return Ref();
    if (applies == Applies::yes) {
        Ref result;
        const Applies done = native_fit(n_colors, pixels, order, &result, sums);
        if (done == Applies::error) return Ref();
        if (done == Applies::yes) return result;
    } else if (why && count_fallback("KMeans.fit", why) < 0) {
        return Ref();
    }
    return cluster_colors_kmeans(self, pixels);
}

Ref cluster_colors_kmeans_native(ColorExtractor* self, PyObject* pixels) {
    return kmeans_native_or_library(self, pixels, nullptr);
}

}  // namespace lq::clustering
