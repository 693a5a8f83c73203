// The native path: the same labels as DBSCAN(eps=0.5, min_samples=max(50, N // 100)) fitted on the
// StandardScaler output, computed over the distinct colours of the rows with their multiplicities,
// without any per-row neighbourhood. Identical rows have identical scaled values and neighbourhoods,
// so they always share a label.
//
// The scaler is still fitted on all rows through the library, and its transform gives the scaled
// value of every 8-bit value per channel (the transform works value by value, so these are exactly
// the values of the full transform). Group colours are the exact integer sums divided by the counts,
// which is what np.mean gives for 8-bit rows: its float64 partial sums are integers below 2**53, so
// no summation order can round them.
//
// A pair of colours at the very edge of eps is decided by the library itself: on every row when its
// neighbourhood lists fit in memory (the kernel counts them first), else on the distinct colours
// weighted by their pixel counts, else not at all (MemoryError) rather than starting a call that
// cannot finish.
#include <cmath>
#include <memory>

#include "clustering/dbscan.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/kernel.hpp"
#include "kernels/dbscan/dbscan.hpp"
#include "kernels/dbscan/pairs_near_eps.hpp"
#include "kernels/distinct_rows.hpp"
#include "kernels/memory_limits.hpp"
#include "preparation/admission.hpp"
#include "preparation/preparation.hpp"

namespace lq::clustering::dbscan {
namespace {

// Rows (v, v, v) for every 8-bit value v.
Ref value_grid() {
    npy_intp dims[2] = {256, 3};
    Ref grid = Ref::steal(PyArray_SimpleNew(2, dims, NPY_UINT8));
    if (!grid) return Ref();
    auto* cells = static_cast<uint8_t*>(PyArray_DATA(as_array(grid)));
    for (int v = 0; v < 256; ++v) cells[3 * v] = cells[3 * v + 1] = cells[3 * v + 2] = static_cast<uint8_t>(v);
    return grid;
}

// Scaled values that the exact bounds can rely on: finite and growing with the 8-bit value.
bool usable(const kernels::dbscan::Metric& metric, const double scale[3]) {
    for (int c = 0; c < 3; ++c) {
        if (!(std::isfinite(scale[c]) && scale[c] > 0)) return false;
        for (int v = 0; v < 256; ++v)
            if (!std::isfinite(metric.scaled[c][v]) || (v && metric.scaled[c][v] < metric.scaled[c][v - 1]))
                return false;
    }
    return true;
}

// yes with the metric and the scale set; no when they are unusable.
Applies fit_metric(PyObject* pixels, kernels::dbscan::Metric* metric, double scale[3]) {
    Ref scaler = call(module_global<"StandardScaler">());
    Ref fitted = call_method(scaler, name<"fit">(), {pixels});
    Ref grid = fitted ? value_grid() : Ref();
    Ref scaled = grid ? call_method(scaler, name<"transform">(), {grid}) : Ref();
    Ref table = scaled ? Ref::steal(PyArray_FROMANY(scaled.get(), NPY_DOUBLE, 2, 2, NPY_ARRAY_CARRAY_RO)) : Ref();
    Ref scales = table ? attr(scaler, name<"scale_">()) : Ref();
    Ref scale_array = scales ? Ref::steal(PyArray_FROMANY(scales.get(), NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO)) : Ref();
    if (!scale_array) return Applies::error;
    if (PyArray_DIM(as_array(table), 0) != 256 || PyArray_DIM(as_array(table), 1) != 3 ||
        PyArray_DIM(as_array(scale_array), 0) != 3)
        return Applies::no;
    const auto* values = static_cast<const double*>(PyArray_DATA(as_array(table)));
    for (int v = 0; v < 256; ++v)
        for (int c = 0; c < 3; ++c) metric->scaled[c][v] = values[3 * v + c];
    for (int c = 0; c < 3; ++c) scale[c] = static_cast<const double*>(PyArray_DATA(as_array(scale_array)))[c];
    return usable(*metric, scale) ? Applies::yes : Applies::no;
}

struct Groups {
    std::vector<int64_t> size;
    std::vector<std::array<int64_t, 3>> sum;
};

Groups sum_groups(const kernels::DistinctRows& colours, const std::vector<int32_t>& label) {
    Groups groups;
    for (int32_t i = 0; i < colours.count(); ++i) {
        if (label[i] < 0) continue;
        if (static_cast<size_t>(label[i]) >= groups.size.size()) {
            groups.size.resize(label[i] + 1, 0);
            groups.sum.resize(label[i] + 1, {0, 0, 0});
        }
        const int64_t weight = colours.weights()[i];
        groups.size[label[i]] += weight;
        for (int c = 0; c < 3; ++c) groups.sum[label[i]][c] += weight * colours.colours()[i][c];
    }
    return groups;
}

// np.array of the group means: k x 3, or the empty 1-D array when there is no group.
Ref group_colors(const Groups& groups) {
    const auto count = static_cast<npy_intp>(groups.size.size());
    npy_intp dims[2] = {count, 3};
    Ref colors = Ref::steal(PyArray_SimpleNew(count ? 2 : 1, dims, NPY_DOUBLE));
    if (!colors) return Ref();
    auto* out = static_cast<double*>(PyArray_DATA(as_array(colors)));
    for (npy_intp g = 0; g < count; ++g)
        for (int c = 0; c < 3; ++c)
            out[3 * g + c] = static_cast<double>(groups.sum[g][c]) / static_cast<double>(groups.size[g]);
    return colors;
}

Ref int64_array(const std::vector<int64_t>& values) {
    npy_intp size = static_cast<npy_intp>(values.size());
    Ref array = Ref::steal(PyArray_SimpleNew(1, &size, NPY_INT64));
    if (array) std::copy(values.begin(), values.end(), static_cast<int64_t*>(PyArray_DATA(as_array(array))));
    return array;
}

// One label per row; `numbers` renumbers the groups. `colours` is null when every row is noise.
Ref row_labels(const kernels::ByteRows& rows, const kernels::DistinctRows* colours, const std::vector<int32_t>& label,
               const std::vector<npy_intp>& numbers) {
    npy_intp count = rows.count;
    Ref labels = Ref::steal(PyArray_SimpleNew(1, &count, NPY_INTP));
    if (!labels) return Ref();
    auto* out = static_cast<npy_intp*>(PyArray_DATA(as_array(labels)));
    const int filled = run_kernel(
        [&](kernels::Stop&) {
        if (label.empty()) {
            std::fill(out, out + count, -1);
            return;
        }
        for (npy_intp i = 0; i < count; ++i) {
            const int32_t group = label[colours->find_row(rows, i)];
            out[i] = group < 0 ? -1 : numbers[group];
        }
        },
        Gil::release);
    return filled < 0 ? Ref() : labels;
}

// The labels of the distinct colours, computed natively: empty when every row is noise, and no colour
// table when no row can have enough neighbours.
struct Clustering {
    std::unique_ptr<kernels::DistinctRows> colours;
    std::vector<int32_t> label;                      // per distinct colour
    bool fragile = false;                            // a pair at the edge of eps: only the library can say
    kernels::dbscan::Neighbourhoods neighbourhoods;  // what the library would store, when fragile
};

Clustering cluster_colours(const kernels::dbscan::Metric& metric, const double scale[3], const kernels::ByteRows& rows,
                           kernels::Stop& stop) {
    Clustering clustering;
    const int64_t need = min_samples(rows.count);
    if (need > rows.count) return clustering;  // no row can have enough neighbours
    clustering.colours = std::make_unique<kernels::DistinctRows>(rows);
    stop.poll();
    const kernels::DistinctRows& colours = *clustering.colours;
    if (kernels::dbscan::has_fragile_pairs(metric, scale, colours, stop)) {
        clustering.fragile = true;
        clustering.neighbourhoods = kernels::dbscan::count_neighbourhoods(
            metric, colours.colours().data(), colours.weights().data(), colours.count(), stop);
        return clustering;
    }
    clustering.label = kernels::dbscan::cluster(metric, colours.colours().data(), colours.weights().data(),
                                                colours.count(), need, stop);
    return clustering;
}

// Bytes the library's DBSCAN needs for `entries` neighbourhood entries over `rows` rows: the indices,
// and per row an index array object and its counts, labels and scaled values.
double library_need(int64_t entries, int64_t rows) { return 8.0 * static_cast<double>(entries) + 192.0 * rows; }

// Half of what the process can still get, so that a library call we start leaves room for its own
// temporaries and the rest.
double memory_budget() { return kernels::available_memory("").bytes / 2; }

// The library's DBSCAN on the distinct colours, each weighted by its pixel count, for when the call on
// every row would not fit in memory. It finds the same cores (a colour's neighbours weigh their pixel
// counts, its own included), numbers clusters in the same order (colours come in order of first
// occurrence) and gives a border colour the first cluster that reaches it; the pairs at the edge of
// eps are decided by the library on this data.
Applies library_on_colours(const kernels::dbscan::Metric& metric, int64_t row_count, Clustering* clustering) {
    const kernels::DistinctRows& colours = *clustering->colours;
    npy_intp dims[2] = {colours.count(), 3};
    Ref scaled = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    Ref weights = Ref::steal(PyArray_SimpleNew(1, dims, NPY_INT64));
    if (!scaled || !weights) return Applies::error;
    auto* values = static_cast<double*>(PyArray_DATA(as_array(scaled)));
    for (int32_t i = 0; i < colours.count(); ++i)
        for (int c = 0; c < 3; ++c) values[3 * i + c] = metric.scaled[c][colours.colours()[i][c]];
    std::copy(colours.weights().begin(), colours.weights().end(),
              static_cast<int64_t*>(PyArray_DATA(as_array(weights))));
    Ref samples = Ref::steal(PyLong_FromSsize_t(min_samples(row_count)));
    Ref estimator = samples ? call(module_global<"DBSCAN">(), {},
                                   {Kw{name<"eps">(), cached_float<0.5>()}, Kw{name<"min_samples">(), samples}})
                            : Ref();
    Ref labels = call_method(estimator, name<"fit_predict">(), {scaled}, {Kw{name<"sample_weight">(), weights}});
    Ref as_int =
        labels ? Ref::steal(PyArray_FROMANY(labels.get(), NPY_INT32, 1, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST))
               : Ref();
    if (!as_int) return Applies::error;
    if (PyArray_DIM(as_array(as_int), 0) != colours.count()) {
        PyErr_SetString(PyExc_SystemError, "DBSCAN returned a label count that differs from the colour count");
        return Applies::error;
    }
    const auto* label = static_cast<const int32_t*>(PyArray_DATA(as_array(as_int)));
    return run_kernel([&](kernels::Stop&) { clustering->label.assign(label, label + colours.count()); }) < 0
               ? Applies::error
               : Applies::yes;
}

// For a fragile pair: no when the library's call on every row fits in memory (the caller makes it);
// yes when the distinct colours stood in for the rows; error (MemoryError) when neither fits.
Applies settle_fragile(const kernels::dbscan::Metric& metric, int64_t row_count, Clustering* clustering) {
    const double budget = memory_budget();
    const auto& counted = clustering->neighbourhoods;
    if (library_need(counted.rows, row_count) <= budget) return Applies::no;
    const double need = library_need(counted.colours, clustering->colours->count());
    if (need > budget &&
        preparation::admission::admit("DBSCAN's neighbourhoods", static_cast<double>(row_count), 2 * need) < 0)
        return Applies::error;
    return library_on_colours(metric, row_count, clustering);
}

}  // namespace

Applies native_path(ColorExtractor* self, PyObject* pixels, Ref* result) {
    kernels::dbscan::Metric metric;
    double scale[3];
    const Applies fitted = fit_metric(pixels, &metric, scale);
    if (fitted != Applies::yes) return fitted;
    preparation::PrivateRows copy;
    if (preparation::copy_rows(pixels, &copy) < 0) return Applies::error;
    const kernels::ByteRows rows = copy.view();
    Clustering clustering;
    Groups groups;
    if (run_kernel(
            [&](kernels::Stop& stop) {
        clustering = cluster_colours(metric, scale, rows, stop);
        if (clustering.colours && !clustering.fragile) groups = sum_groups(*clustering.colours, clustering.label);
            },
            Gil::release) < 0)
        return Applies::error;
    if (clustering.fragile) {
        const Applies settled = settle_fragile(metric, rows.count, &clustering);
        if (settled != Applies::yes) return settled;
        if (run_kernel([&](kernels::Stop&) { groups = sum_groups(*clustering.colours, clustering.label); }) < 0)
            return Applies::error;
    }
    const auto found = static_cast<Py_ssize_t>(groups.size.size());
    Ref colors = group_colors(groups);
    std::vector<npy_intp> numbers(found);
    for (Py_ssize_t g = 0; g < found; ++g) numbers[g] = g;
    if (colors && found && found > settings(self).n_colors) {
        Ref sizes = int64_array(groups.size);
        Ref kept;
        colors = sizes ? keep_largest(colors.get(), sizes.get(), settings(self).n_colors, &kept) : Ref();
        if (colors && renumbering(kept.get(), found, &numbers) < 0) return Applies::error;
    }
    Ref labels = colors ? row_labels(rows, clustering.colours.get(), clustering.label, numbers) : Ref();
    *result = make_tuple({colors, labels});
    return *result ? Applies::yes : Applies::error;
}

Applies native_path_applies(PyObject* pixels) {
    const Applies gate =
        preparation::native_rows_apply(pixels, {name<"StandardScaler">(), name<"DBSCAN">(), name<"np">()});
    if (gate != Applies::yes) return gate;
    return PyArray_DIM(as_array(pixels), 0) > 0 ? Applies::yes : Applies::no;
}

}  // namespace lq::clustering::dbscan
