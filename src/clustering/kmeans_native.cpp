// The native K-means path: the gate, the library facts it relies on (BLAS dgemm, NumPy's row-norm
// order), the fit with the GIL released, and the (centres, labels) pair.
#include "clustering/kmeans_native.hpp"

#include <cstring>
#include <new>
#include <thread>
#include <unordered_map>
#include <vector>

#include "clustering/clustering.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/numpy_api.hpp"
#include "kernels/distinct_rows.hpp"
#include "kernels/kmeans/kmeans.hpp"

namespace lq::clustering {
namespace {

namespace km = kernels::kmeans;

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

// Runs `work` with the GIL released; it must not touch interpreter objects.
template <class Work>
void without_gil(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
    PyEval_RestoreThread(state);
}

// The scikit-learn releases whose KMeans the native fit reproduces: 1.9.x (checked against 1.9.1). The
// fit follows that release's code (seeding, Lloyd iterations, relocation, choice of the best run).
int sklearn_version_supported() {
    Ref module_name = Ref::steal(PyUnicode_FromString("sklearn"));
    Ref sklearn = module_name ? Ref::steal(PyImport_GetModule(module_name.get())) : Ref();
    if (!sklearn) return PyErr_Occurred() ? -1 : 0;
    Ref version = attr(sklearn, name<"__version__">());
    const char* text = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return 0;
    }
    return std::strncmp(text, "1.9.", 4) == 0 || std::strcmp(text, "1.9") == 0;
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
// k x 3 array, found by asking it. 1 with *order set, 0 when no known order fits, -1 on error.
int norm_order(int k, km::NormOrder* order) {
    static std::unordered_map<int, int> known;  // k -> order, or -1 for none
    if (const auto at = known.find(k); at != known.end()) {
        if (at->second < 0) return 0;
        *order = static_cast<km::NormOrder>(at->second);
        return 1;
    }
    constexpr km::NormOrder orders[] = {km::NormOrder::first01, km::NormOrder::first02, km::NormOrder::first12};
    bool fits[3] = {true, true, true};
    std::uint64_t state = 777;
    Ref einsum = attr(module_global<"np">(), name<"einsum">());
    Ref subscripts = Ref::steal(PyUnicode_FromString("ij,ij->i"));
    if (!einsum || !subscripts) return -1;
    for (int tested = 0; tested < 64; tested += k) {
        npy_intp dims[2] = {k, 3};
        Ref rows = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
        if (!rows) return -1;
        auto* values = static_cast<double*>(PyArray_DATA(as_array(rows.get())));
        for (int i = 0; i < 3 * k; ++i) values[i] = probe_value(state) * (1 + i % 3);
        Ref norms = call(einsum, {subscripts, rows, rows});
        Ref array = norms ? Ref::steal(PyArray_FROMANY(norms.get(), NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO)) : Ref();
        if (!array) return -1;
        if (PyArray_DIM(as_array(array.get()), 0) != k) return 0;
        const auto* got = static_cast<const double*>(PyArray_DATA(as_array(array.get())));
        for (int o = 0; o < 3; ++o)
            for (int r = 0; r < k; ++r)
                if (km::squared_norm(&values[3 * r], orders[o]) != got[r]) fits[o] = false;
    }
    int found = -1;
    for (int o = 2; o >= 0; --o)
        if (fits[o]) found = o;
    known[k] = found;
    if (found < 0) return 0;
    *order = orders[found];
    return 1;
}

// The K-means module's namespace: where scikit-learn keeps the names it uses itself.
Ref kmeans_module() {
    Ref module_name = attr(module_global<"KMeans">(), name<"__module__">());
    if (!module_name) return Ref();
    Ref module = Ref::steal(PyImport_GetModule(module_name.get()));
    if (!module && !PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "scikit-learn's K-means module is not loaded");
    return module;
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

// 1 when the native fit may stand in for the library call, 0 when not, -1 on error.
int native_path_applies(ColorExtractor* self, PyObject* pixels, km::NormOrder* order) {
    for (PyObject* global : {name<"KMeans">(), name<"np">()}) {
        const int same = global_is_as_imported(global);
        if (same <= 0) return same;
    }
    if (!PyArray_CheckExact(pixels)) return 0;
    PyArrayObject* array = as_array(pixels);
    if (PyArray_NDIM(array) != 2 || PyArray_DIM(array, 1) != 3 || PyArray_TYPE(array) != NPY_UINT8) return 0;
    // Row counts are kept in 32 bits.
    if (self->n_colors < 1 || PyArray_DIM(array, 0) < self->n_colors || PyArray_DIM(array, 0) > INT32_MAX) return 0;
    const int supported = sklearn_version_supported();
    if (supported <= 0) return supported;
    if (!find_dgemm()) return 0;
    return norm_order(self->n_colors, order);
}

// The library's ConvergenceWarning when some clusters ended up without rows.
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

Ref pair(const km::Result& fitted, const std::vector<std::int32_t>& row_colours, int k) {
    npy_intp centre_dims[2] = {k, 3};
    Ref colors = Ref::steal(PyArray_SimpleNew(2, centre_dims, NPY_DOUBLE));
    if (!colors) return Ref();
    std::memcpy(PyArray_DATA(as_array(colors.get())), fitted.centres.data(), fitted.centres.size() * sizeof(double));
    npy_intp rows = static_cast<npy_intp>(row_colours.size());
    Ref labels = Ref::steal(PyArray_SimpleNew(1, &rows, NPY_INT32));
    if (!labels) return Ref();
    auto* out = static_cast<std::int32_t*>(PyArray_DATA(as_array(labels.get())));
    for (npy_intp i = 0; i < rows; ++i) out[i] = fitted.labels[row_colours[i]];
    if (warn_if_fewer_clusters(fitted.labels, k) < 0) return Ref();
    return make_tuple({colors, labels});
}

// 1 with *result set, 0 when the fit leaves the answer to the library, -1 on error.
int native_fit(ColorExtractor* self, PyArrayObject* pixels, km::NormOrder order, Ref* result) {
    const kernels::ByteRows rows{reinterpret_cast<const std::uint8_t*>(PyArray_BYTES(pixels)), PyArray_DIM(pixels, 0),
                                 PyArray_STRIDE(pixels, 0), PyArray_STRIDE(pixels, 1)};
    const int workers = worker_count();
    bool fused = false;
    const km::Dgemm dgemm = find_dgemm(&fused);
    std::vector<std::int32_t> row_colours;
    km::Result fitted;
    // Ctrl-C: the thread that started the fit checks the interpreter's signals now and then.
    kernels::Stop stop([] {
        const PyGILState_STATE gil = PyGILState_Ensure();
        const bool interrupted = PyErr_CheckSignals() < 0;
        PyGILState_Release(gil);
        return interrupted;
    });
    try {
        // The table is built before the GIL is let go: its positions must describe the rows exactly,
        // which interpreter code could change meanwhile; the fit only reads the rows' values.
        const kernels::DistinctRows colours(rows, &row_colours);
        const km::Problem problem{rows, colours, row_colours, self->n_colors, dgemm, fused, order, workers};
        without_gil([&] { fitted = km::fit(problem, stop); });
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (const kernels::Interrupted&) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return -1;
    }
    if (fitted.undecided) return 0;
    *result = pair(fitted, row_colours, self->n_colors);
    return *result ? 1 : -1;
}

}  // namespace

Ref cluster_colors_kmeans_native(ColorExtractor* self, PyObject* pixels) {
    km::NormOrder order{};
    const int applies = native_path_applies(self, pixels, &order);
    if (applies < 0) return Ref();
    if (applies) {
        Ref result;
        const int done = native_fit(self, as_array(pixels), order, &result);
        if (done < 0) return Ref();
        if (done) return result;
    }
    return cluster_colors_kmeans(self, pixels);
}

}  // namespace lq::clustering
