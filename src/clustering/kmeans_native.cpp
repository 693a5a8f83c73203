// The native K-means path: the gate, the library facts it relies on (BLAS dgemm, NumPy's row-norm
// order), the fit with the GIL released (with the library's own calls where it needs them), and the
// (centres, labels) pair.
#include "clustering/kmeans_native.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "clustering/clustering.hpp"
#include "clustering/kmeans_library.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "interop/kernel.hpp"
#include "interop/numpy_api.hpp"
#include "interop/state.hpp"
#include "kernels/cluster_sums.hpp"
#include "kernels/distinct_rows.hpp"
#include "kernels/kmeans/kmeans.hpp"
#include "preparation/admission.hpp"
#include "preparation/preparation.hpp"

namespace lq::clustering {
namespace {

namespace km = kernels::kmeans;
using km::library::Reason;

// Whether `installed` (a __version__) is of the release `release` (major.minor).
bool of_release(std::string_view installed, std::string_view release) {
    return installed == release ||
           (installed.starts_with(release) && installed.size() > release.size() && installed[release.size()] == '.');
}

// The scikit-learn releases whose KMeans the native fit reproduces: those of km::library::releases, and the
// one LQ_KMEANS_TRY_RELEASE names while make releases verifies it. The fit follows the library's code
// (seeding, Lloyd iterations, relocation, choice of the best run), which those releases share.
Applies sklearn_version_supported(Ref* version) {
    Ref module_name = Ref::steal(PyUnicode_FromString("sklearn"));
    Ref sklearn = module_name ? Ref::steal(PyImport_GetModule(module_name.get())) : Ref();
    if (!sklearn) return PyErr_Occurred() ? Applies::error : Applies::no;
    *version = attr(sklearn, name<"__version__">());
    const char* text = *version && PyUnicode_Check(version->get()) ? PyUnicode_AsUTF8(version->get()) : nullptr;
    if (!text) return clear_ordinary_error() < 0 ? Applies::error : Applies::no;
    const std::string_view installed(text);
    for (const std::string_view release : km::library::releases)
        if (of_release(installed, release)) return Applies::yes;
    const char* tried = std::getenv(km::library::try_release_variable);
    return tried && *tried && of_release(installed, tried) ? Applies::yes : Applies::no;
}

// Once per process: the library fit for want of a verified release is tens of times slower, and nothing
// else would say why.
int warn_unverified_release(const Ref& version) {
    auto& warned = process_state().unverified_release_warned;
    if (warned || !version || !PyUnicode_Check(version.get())) return 0;
    warned = true;
    std::string verified;
    for (const std::string_view release : km::library::releases)
        verified.append(verified.empty() ? "" : ", ").append(release);
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "scikit-learn %U is not a release the native K-means is verified against (%s); K-means runs as "
        "scikit-learn's own KMeans, about 70x slower on large images. Install one of them for the native fit, "
        "e.g. pip install 'scikit-learn==%s.*'.",
        version.get(), verified.c_str(), std::string(std::end(km::library::releases)[-1]).c_str()));
    if (!message) return -1;
    return PyErr_WarnEx(PyExc_UserWarning, PyUnicode_AsUTF8(message.get()), 1);
}

// dgemm from SciPy's BLAS table, the one scikit-learn's Lloyd iterations call: yes with *dgemm set (and
// *fused: whether the fit may compute its values itself), no when absent or when its rows are not
// independent. Looked up once.
Applies find_dgemm(km::Dgemm* dgemm, bool* fused) {
    auto& probe = process_state().dgemm_probe;
    if (!probe.looked) {
        Ref module = Ref::steal(PyImport_ImportModule("scipy.linalg.cython_blas"));
        Ref table = module ? attr(module, name<"__pyx_capi__">()) : Ref();
        Ref key = table ? Ref::steal(PyUnicode_FromString("dgemm")) : Ref();
        Ref capsule = key ? item(table, key) : Ref();
        void* pointer = nullptr;
        if (capsule && PyCapsule_CheckExact(capsule.get()))
            pointer = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
        if (clear_ordinary_error() < 0) return Applies::error;  // asked again next time
        probe.looked = true;
        if (pointer && km::rows_independent(reinterpret_cast<km::Dgemm>(pointer), &probe.same_as_fused))
            probe.dgemm = reinterpret_cast<km::Dgemm>(pointer);
    }
    *dgemm = probe.dgemm;
    *fused = probe.same_as_fused;
    return probe.dgemm ? Applies::yes : Applies::no;
}

// The order in which np.einsum("ij,ij->i") (scikit-learn's row_norms) adds the squares of a
// k x 3 array, found by asking it: yes with *order set, no when no known order fits. The answers are
// kept per k (read and written with the GIL held).
Applies norm_order(int k, km::NormOrder* order) {
    auto& known = process_state().norm_orders;  // k -> order, or -1 for none
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
        for (int i = 0; i < 3 * k; ++i) values[i] = km::probe_value(state) * (1 + i % 3);
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
// threadpoolctl limits, as set for batch workers); -1 with an exception set when interrupted.
int worker_count() {
    Ref module = kmeans_module();
    Ref threads = module ? call_method(module, name<"_openmp_effective_n_threads">()) : Ref();
    const long count = threads ? PyLong_AsLong(threads.get()) : -1;
    if (count < 1) {
        if (clear_ordinary_error() < 0) return -1;
        return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }
    return static_cast<int>(count);
}

// The library facts the native fit relies on, for n_colors clusters: yes with *order set, or no with
// *why set.
Applies library_facts_known(int n_colors, km::NormOrder* order, std::optional<Reason>* why) {
    for (PyObject* library : {name<"KMeans">(), name<"np">()}) {
        const Applies same = global_is_as_imported(library);
        if (same != Applies::yes) {
            *why = Reason::rebound;
            return same;
        }
    }
    for (const char* method : {"fit", "fit_predict"}) {
        const Applies same = attribute_is_as_imported("KMeans", method);
        if (same != Applies::yes) {
            *why = Reason::replaced;
            return same;
        }
    }
    Ref version;
    const Applies supported = sklearn_version_supported(&version);
    if (supported != Applies::yes) {
        *why = Reason::release;
        if (supported == Applies::no && warn_unverified_release(version) < 0) return Applies::error;
        return supported;
    }
    km::Dgemm dgemm = nullptr;
    bool fused = false;
    const Applies blas = find_dgemm(&dgemm, &fused);
    if (blas != Applies::yes) {
        *why = Reason::no_dgemm;
        return blas;
    }
    const Applies known = norm_order(n_colors, order);
    if (known == Applies::no) *why = Reason::norm_order;
    return known;
}

// Whether the native fit may stand in for the library call on the rows array: yes, or no with *why set
// when the library is to fit (null when no fit is needed at all: fewer rows than colours, or a setting
// KMeans rejects).
Applies native_path_applies(int n_colors, PyObject* pixels, km::NormOrder* order, std::optional<Reason>* why) {
    why->reset();
    // What is no array, or too short to fit, is the library path's to handle or reject.
    if (!PyArray_Check(pixels) || PyArray_NDIM(as_array(pixels)) == 0) return Applies::no;
    const npy_intp rows = PyArray_DIM(as_array(pixels), 0);
    if (n_colors < 1 || rows < n_colors) return Applies::no;
    const Applies rows_fit = preparation::native_rows_apply(pixels, {});
    if (rows_fit != Applies::yes) {
        *why = Reason::rows_form;
        return rows_fit;
    }
    // Row counts are kept in 32 bits.
    if (rows > INT32_MAX) {
        *why = Reason::too_many_rows;
        return Applies::no;
    }
    return library_facts_known(n_colors, order, why);
}

// `labels`, an int32 array of a value per row, may be the memory `row_colours` is kept in: each row's
// label replaces its colour.
Ref pair(const km::Result& fitted, const kernels::RowColours& row_colours, int k, int workers, Ref labels) {
    npy_intp centre_dims[2] = {k, 3};
    Ref colors = Ref::steal(PyArray_SimpleNew(2, centre_dims, NPY_DOUBLE));
    if (!colors) return Ref();
    std::memcpy(PyArray_DATA(as_array(colors.get())), fitted.centres.data(), fitted.centres.size() * sizeof(double));
    auto* out = static_cast<std::int32_t*>(PyArray_DATA(as_array(labels.get())));
    if (run_kernel([&](kernels::Stop& stop) { km::label_rows(fitted.labels, row_colours, out, workers, stop); },
                   Gil::release) < 0)
        return Ref();
    if (warn_if_fewer_clusters(fitted.labels, k) < 0) return Ref();
    return make_tuple({colors, labels});
}

// The seeding's blocks, made on a second thread while the table's pass goes (kmeans::BlocksAhead), where
// the pass reads each row once and the fit has a thread to spare and more than one cluster to seed.
class Follower {
public:
    Follower() = default;
    Follower(const Follower&) = delete;
    Follower& operator=(const Follower&) = delete;
    // Waits for the thread: a pass that never started (its table failed first) is ended here.
    ~Follower() {
        progress_.end(false);
        if (thread_.joinable()) thread_.join();
    }

    void start(std::int64_t rows, int n_colors, int workers) {
        if (workers < 2 || n_colors < 2 || !kernels::DistinctRows::reads_once(rows)) return;
        blocks_.emplace(rows);
        try {
            thread_ = std::thread([this] {
                try {
                    blocks_->follow(progress_);
                } catch (const std::bad_alloc&) {
                    // The fit makes its blocks itself.
                }
            });
        } catch (const std::system_error&) {
            blocks_.reset();
        }
    }
    // Where the table's pass publishes its progress, if anyone follows.
    kernels::PassProgress* pass() { return thread_.joinable() ? &progress_ : nullptr; }
    // Once the table is made: the blocks, if any were made.
    km::BlocksAhead* blocks() {
        if (thread_.joinable()) thread_.join();
        return blocks_ ? &*blocks_ : nullptr;
    }

private:
    kernels::PassProgress progress_;
    std::optional<km::BlocksAhead> blocks_;
    std::thread thread_;
};

// The fit's inputs and state: the distinct colours of the rows, every row's colour, the fit.
struct Colours {
    Colours() = default;
    // The rows' colours kept in `buffer` (room for `capacity` rows), which outlives the fit.
    Colours(std::int32_t* buffer, std::size_t capacity) : row_colours(buffer, capacity) {}

    int workers = 1;  // threads, as many as the library's own fit would use
    std::optional<kernels::DistinctRows> table;
    kernels::RowColours row_colours;
    Follower follower;  // after row_colours, whose memory it reads
    std::optional<km::Fit> fit;
    std::vector<int> open;  // runs whose seeding only the library can decide
};

// The distinct colours of the rows, made by `build(stop)` with the GIL released.
template <typename Build>
int build_colours(Build build) {
    return run_kernel([&](kernels::Stop& stop) { build(stop); }, Gil::release);
}

// Every run seeded, natively where the seeding can decide.
int seed_runs(int n_colors, km::NormOrder order, Colours* colours) {
    km::Dgemm dgemm = nullptr;
    bool fused = false;
    if (find_dgemm(&dgemm, &fused) == Applies::error) return -1;
    return run_kernel(
        [&](kernels::Stop& stop) {
        colours->fit.emplace(km::Problem{*colours->table, colours->row_colours, n_colors, dgemm, fused, order,
                                         colours->workers, colours->follower.blocks()});
        colours->open = colours->fit->seed(stop);
        },
        Gil::release);
}

// Lloyd's iterations of every run, once every run is seeded (by the library where the native seeding
// could not decide), by the library for the runs whose iterations the native ones could not decide, and
// the choice of the best: yes with *fitted set, no (counted) when only KMeans.fit can say.
Applies finish(Colours& colours, int n_colors, km::Result* fitted) {
    if (!colours.open.empty() &&
        seed_by_library(*colours.fit, colours.open, *colours.table, colours.row_colours, n_colors) < 0)
        return Applies::error;
    std::vector<int> undecided;
    if (run_kernel([&](kernels::Stop& stop) { undecided = colours.fit->iterate(stop); }, Gil::release) < 0)
        return Applies::error;
    if (!undecided.empty()) {
        const Applies taken =
            iterate_by_library(*colours.fit, undecided, *colours.table, colours.row_colours, n_colors);
        if (taken != Applies::yes) return taken;
    }
    *fitted = colours.fit->choose();
    if (fitted->undecided) return count_fallback("KMeans.fit", *fitted->undecided) < 0 ? Applies::error : Applies::no;
    return Applies::yes;
}

// yes with *result set; no when the fit leaves the answer to the library.
Applies native_fit(int n_colors, PyObject* pixels, km::NormOrder order, Ref* result,
                   std::optional<kernels::ClusterSums>* sums) {
    auto* array = as_array(pixels);
    // The labels array first: the rows' colours are kept in it until they become its labels, rather than
    // in as much fresh memory again.
    npy_intp count = PyArray_DIM(array, 0);
    Ref labels = Ref::steal(PyArray_SimpleNew(1, &count, NPY_INT32));
    if (!labels) return Applies::error;
    Colours colours(static_cast<std::int32_t*>(PyArray_DATA(as_array(labels.get()))), static_cast<std::size_t>(count));
    if ((colours.workers = worker_count()) < 0) return Applies::error;
    const kernels::ByteRows given{static_cast<const std::uint8_t*>(PyArray_DATA(array)), PyArray_DIM(array, 0),
                                  PyArray_STRIDE(array, 0), PyArray_STRIDE(array, 1)};
    int built = 0;
    if (kernels::DistinctRows::reads_once(given.count)) {
        // Read in place with the GIL held, as the private copy would be made: no interpreter thread
        // changes the rows meanwhile, and each row is read once, so copying tens of megabytes first
        // would protect nothing more.
        colours.follower.start(given.count, n_colors, colours.workers);
        built = run_kernel([&](kernels::Stop& stop) {
            colours.table.emplace(given, &colours.row_colours, colours.workers, colours.follower.pass(), &stop);
        });
    } else {
        preparation::PrivateRows copy;
        if (preparation::copy_rows(pixels, &copy) < 0) return Applies::error;
        built = build_colours([&](kernels::Stop& stop) {
            colours.table.emplace(copy.view(), &colours.row_colours, 1, nullptr, &stop);
            decltype(copy.bytes)().swap(copy.bytes);  // the rows are not read again
        });
    }
    if (built < 0 || seed_runs(n_colors, order, &colours) < 0) return Applies::error;
    if (colours.table->count() < n_colors)
        return fit_by_first_run(*colours.fit, *colours.table, colours.row_colours, n_colors, result);
    km::Result fitted;
    const Applies done = finish(colours, n_colors, &fitted);
    if (done != Applies::yes) return done;
    if (sums) sums->emplace(kernels::sum_by_colour_label(*colours.table, fitted.labels, n_colors));
    *result = pair(fitted, colours.row_colours, n_colors, colours.workers, std::move(labels));
    return *result ? Applies::yes : Applies::error;
}

// The kept pixels of the image as the N x 3 array the library is given.
Ref rows_array(const kernels::ImagePixels& image, std::int64_t count) {
    npy_intp dims[2] = {static_cast<npy_intp>(count), 3};
    Ref rows = Ref::steal(PyArray_SimpleNew(2, dims, NPY_UINT8));
    if (!rows) return Ref();
    auto* out = static_cast<std::uint8_t*>(PyArray_DATA(as_array(rows.get())));
    if (run_kernel([&](kernels::Stop& stop) { kernels::copy_kept(image, out, stop); }, Gil::release) < 0) return Ref();
    return rows;
}

// With fewer distinct colours than clusters, and every run's seeds covering every colour, the fit is the
// library's first run, which gives each colour a cluster of its own (see fit_by_first_run); only its
// label numbers are the library's to say. Each colour is then a cluster, in the table's order. yes with
// *fit set, unless two colours' shares round alike (their order in the result is that of the labels).
Applies each_colour_its_cluster(const Colours& colours, int n_colors, ImageFit* fit) {
    for (int run = 0; run < km::runs; ++run)
        if (!colours.fit->covers_every_colour(run)) return Applies::no;
    const kernels::DistinctRows& table = *colours.table;
    const std::int32_t d = table.count();
    std::vector<double> rounded(static_cast<std::size_t>(d));
    for (std::int32_t c = 0; c < d; ++c) {
        // round(count / total * 100, 2) as the interpreter rounds it, compared as the result sorts by it.
        Ref share = Ref::steal(PyFloat_FromDouble(kernels::share_percentage(table.weights()[c], table.rows())));
        Ref two = share ? round_to_2(share) : Ref();
        if (!two) return Applies::error;
        rounded[c] = PyFloat_AsDouble(two.get());
    }
    std::vector<double> sorted = rounded;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return Applies::no;
    std::vector<std::int32_t> labels(static_cast<std::size_t>(d));
    for (std::int32_t c = 0; c < d; ++c) labels[c] = c;
    fit->labels_by_colour = std::move(labels);
    fit->clusters = d;
    npy_intp dims[2] = {d, 3};
    fit->centres = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    if (!fit->centres) return Applies::error;
    auto* centre = static_cast<double*>(PyArray_DATA(as_array(fit->centres.get())));
    for (std::int32_t c = 0; c < d; ++c)
        for (int f = 0; f < 3; ++f) centre[3 * c + f] = table.colours()[c][f];
    // KMeans.fit's warning: its best labels hold d distinct clusters.
    return warn_if_fewer_clusters(fit->labels_by_colour, n_colors) < 0 ? Applies::error : Applies::yes;
}

}  // namespace

Ref kmeans_native_or_library(ColorExtractor* self, PyObject* pixels, std::optional<kernels::ClusterSums>* sums) {
    const int n_colors = settings(self).n_colors;
    km::NormOrder order{};
    std::optional<Reason> why;
    const Applies applies = native_path_applies(n_colors, pixels, &order, &why);
    if (applies == Applies::error) return Ref();
    if (applies == Applies::yes) {
        if (preparation::admission::admit_native_kmeans(pixels) < 0) return Ref();
        Ref result;
        const Applies done = native_fit(n_colors, pixels, order, &result, sums);
        if (done == Applies::error) return Ref();
        if (done == Applies::yes) return result;
    } else if (why && count_fallback("KMeans.fit", *why) < 0) {
        return Ref();
    }
    return cluster_colors_kmeans(self, pixels);
}

Ref cluster_colors_kmeans_native(ColorExtractor* self, PyObject* pixels) {
    return kmeans_native_or_library(self, pixels, nullptr);
}

Applies kmeans_of_image(ColorExtractor* self, const kernels::ImagePixels& image, ImageFit* fit) {
    const int n_colors = settings(self).n_colors;
    km::NormOrder order{};
    std::optional<Reason> why;
    const Applies known = n_colors < 1 ? Applies::no : library_facts_known(n_colors, &order, &why);
    if (known != Applies::yes) return known;
    if (preparation::admission::admit_native_kmeans(static_cast<double>(image.pixels())) < 0) return Applies::error;
    Colours colours;
    if ((colours.workers = worker_count()) < 0) return Applies::error;
    colours.follower.start(image.pixels(), n_colors, colours.workers);
    if (build_colours([&](kernels::Stop& stop) {
            colours.table.emplace(image, &colours.row_colours, stop, colours.workers, colours.follower.pass());
        }) < 0)
        return Applies::error;
    fit->rows = colours.table->rows();
    if (fit->rows == 0) return Applies::yes;  // nothing to analyse
    // No fit for fewer rows than clusters (none at all, or the distinct rows themselves), nor for counts
    // beyond 32 bits: the interpreter's road says what the library makes of them.
    if (fit->rows < n_colors || fit->rows > INT32_MAX) return Applies::no;
    if (seed_runs(n_colors, order, &colours) < 0) return Applies::error;
    Applies done = Applies::no;
    if (colours.table->count() < n_colors) {
        done = each_colour_its_cluster(colours, n_colors, fit);
        if (done == Applies::error) return Applies::error;
        if (done == Applies::no) {
            // The library's first run on every row says the label numbers.
            fit->library_rows = rows_array(image, fit->rows);
            if (!fit->library_rows) return Applies::error;
            done = fit_by_first_run(*colours.fit, *colours.table, colours.row_colours, n_colors, &fit->library_pair);
            if (done == Applies::error) return Applies::error;
            if (done == Applies::no) fit->library_pair = cluster_colors_kmeans(self, fit->library_rows.get());
            return fit->library_pair ? Applies::yes : Applies::error;
        }
    } else {
        km::Result fitted;
        done = finish(colours, n_colors, &fitted);
        if (done == Applies::error) return Applies::error;
        if (done == Applies::no) {
            fit->library_rows = rows_array(image, fit->rows);
            fit->library_pair = fit->library_rows ? cluster_colors_kmeans(self, fit->library_rows.get()) : Ref();
            return fit->library_pair ? Applies::yes : Applies::error;
        }
        npy_intp dims[2] = {n_colors, 3};
        fit->centres = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
        if (!fit->centres) return Applies::error;
        std::memcpy(PyArray_DATA(as_array(fit->centres.get())), fitted.centres.data(),
                    fitted.centres.size() * sizeof(double));
        fit->clusters = n_colors;
        fit->labels_by_colour = std::move(fitted.labels);
        if (warn_if_fewer_clusters(fit->labels_by_colour, n_colors) < 0) return Applies::error;
    }
    fit->sums = kernels::sum_by_colour_label(*colours.table, fit->labels_by_colour, fit->clusters);
    return Applies::yes;
}

}  // namespace lq::clustering
