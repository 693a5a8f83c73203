#include "frame/colour_index.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "interop/convert.hpp"
#include "interop/kernel.hpp"
#include "interop/numpy_api.hpp"
#include "kernels/colour/index.hpp"

namespace lq::colour_index {
namespace {

namespace colour = kernels::colour;

// The argument as an aligned, C-contiguous array of `type` (the array itself when it is one already, no
// copy of a memory-mapped index); NumPy's own TypeError when it cannot be one safely.
Ref array_of(PyObject* object, int type) { return Ref::steal(PyArray_FROM_OTF(object, type, NPY_ARRAY_IN_ARRAY)); }

template <typename T>
const T* data(const Ref& array) {
    return static_cast<const T*>(PyArray_DATA(as_array(array)));
}

npy_intp size(const Ref& array) { return PyArray_SIZE(as_array(array)); }

int workers(int threads) {
    if (threads < 0) {
        PyErr_SetString(PyExc_ValueError, "threads must be 0 (every processor) or more");
        return -1;
    }
    return threads ? threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// Offsets that start at 0, never fall and end at `total`.
bool offsets_fit(const std::int64_t* offsets, npy_intp count, std::int64_t total) {
    if (count < 1 || offsets[0] != 0 || offsets[count - 1] != total) return false;
    for (npy_intp i = 1; i < count; ++i)
        if (offsets[i] < offsets[i - 1]) return false;
    return true;
}

// Buckets strictly ascending, each within the grid's.
bool buckets_fit(const std::uint32_t* buckets, npy_intp count) {
    for (npy_intp i = 0; i < count; ++i)
        if (buckets[i] >= colour::bucket_count || (i > 0 && buckets[i] <= buckets[i - 1])) return false;
    return true;
}

int whole_number(PyObject* object, std::int64_t* out, const char* what) {
    long long value = 0;
    if (to_integer(object, &value) < 0) return -1;
    if (value < 0 || value > 0xFFFFFFFFLL) {
        PyErr_Format(PyExc_ValueError, "%s must be 0 to 2**32 - 1, got %lld", what, value);
        return -1;
    }
    *out = value;
    return 0;
}

Ref vector_array(const void* values, npy_intp count, int type, std::size_t item) {
    Ref array = Ref::steal(PyArray_SimpleNew(1, &count, type));
    if (array && count) std::memcpy(PyArray_DATA(as_array(array)), values, static_cast<std::size_t>(count) * item);
    return array;
}

}  // namespace

namespace {

// The starts of each image's records from their counts; false with a ValueError when they do not fit
// the records.
bool record_starts(const Ref& records, const Ref& counts, double tail_ratio, std::vector<std::int64_t>& starts) {
    if (!(tail_ratio >= 0.0) || !std::isfinite(tail_ratio)) {
        PyErr_SetString(PyExc_ValueError, "tail_ratio must be finite and not negative");
        return false;
    }
    const npy_intp images = size(counts);
    if (images > 0xFFFFFFFFLL) {
        PyErr_SetString(PyExc_ValueError, "the colour index holds at most 2**32 - 1 images");
        return false;
    }
    starts.assign(static_cast<std::size_t>(images) + 1, 0);
    for (npy_intp image = 0; image < images; ++image) {
        const std::int64_t count = data<std::int64_t>(counts)[image];
        if (count < 0) {
            PyErr_Format(PyExc_ValueError, "image %zd has %lld records", static_cast<Py_ssize_t>(image),
                         static_cast<long long>(count));
            return false;
        }
        starts[image + 1] = starts[image] + count;
    }
    const std::int64_t total = starts.back();
    if (total * static_cast<std::int64_t>(colour::record_bytes) != size(records)) {
        PyErr_Format(PyExc_ValueError, "%lld records are %lld bytes, not %lld", static_cast<long long>(total),
                     static_cast<long long>(total * static_cast<std::int64_t>(colour::record_bytes)),
                     static_cast<long long>(size(records)));
        return false;
    }
    return true;
}

}  // namespace

Ref build(PyObject* records_object, PyObject* counts_object, double tail_ratio) {
    Ref records = array_of(records_object, NPY_UINT8);
    Ref counts = records ? array_of(counts_object, NPY_INT64) : Ref();
    std::vector<std::int64_t> starts;
    if (!counts || !record_starts(records, counts, tail_ratio, starts)) return Ref();
    const npy_intp images = size(counts);
    const std::int64_t total = starts.back();
    npy_intp bucket_dims = colour::bucket_count + 1;
    npy_intp row_dims[2] = {static_cast<npy_intp>(total), static_cast<npy_intp>(colour::row_bytes)};
    Ref bucket_starts = Ref::steal(PyArray_SimpleNew(1, &bucket_dims, NPY_INT64));
    Ref rows = bucket_starts ? Ref::steal(PyArray_SimpleNew(2, row_dims, NPY_UINT8)) : Ref();
    if (!rows) return Ref();
    auto* out_starts = static_cast<std::int64_t*>(PyArray_DATA(as_array(bucket_starts)));
    auto* out_rows = static_cast<std::uint8_t*>(PyArray_DATA(as_array(rows)));
    const std::uint8_t* in = data<std::uint8_t>(records);
    if (run_kernel(
            [&](kernels::Stop& stop) {
        colour::build_index(in, starts.data(), images, tail_ratio, out_starts, out_rows, stop);
            },
            Gil::release) < 0)
        return Ref();
    return Ref::steal(PyTuple_Pack(2, bucket_starts.get(), rows.get()));
}

Ref shares(PyObject* bucket_starts_object, PyObject* rows_object, PyObject* images_object, PyObject* query_object,
           double tolerance, double tail, double ratio, int threads) {
    Ref bucket_starts = array_of(bucket_starts_object, NPY_INT64);
    Ref rows = bucket_starts ? array_of(rows_object, NPY_UINT8) : Ref();
    Ref query = rows ? array_of(query_object, NPY_DOUBLE) : Ref();
    std::int64_t images = 0;
    const int thread_count = query ? workers(threads) : -1;
    if (thread_count < 0 || whole_number(images_object, &images, "images") < 0) return Ref();
    if (size(query) != 3) {
        PyErr_Format(PyExc_ValueError, "the query colour must be 3 numbers (L*, a*, b*), got %zd",
                     static_cast<Py_ssize_t>(size(query)));
        return Ref();
    }
    const std::int64_t row_count = size(rows) / static_cast<std::int64_t>(colour::row_bytes);
    if (size(rows) % static_cast<std::int64_t>(colour::row_bytes) || size(bucket_starts) != colour::bucket_count + 1 ||
        !offsets_fit(data<std::int64_t>(bucket_starts), size(bucket_starts), row_count)) {
        PyErr_SetString(PyExc_ValueError, "not a colour index: its bucket starts do not fit its rows");
        return Ref();
    }
    if (!(tolerance >= 0.0) || !std::isfinite(tolerance) || !(tail > 0.0) || !std::isfinite(tail) || !(ratio > 0.0) ||
        !std::isfinite(ratio)) {
        PyErr_SetString(PyExc_ValueError, "tolerance, tail and ratio must be finite, tail and ratio above 0");
        return Ref();
    }
    const double* lab = data<double>(query);
    if (!std::isfinite(lab[0]) || !std::isfinite(lab[1]) || !std::isfinite(lab[2])) {
        PyErr_SetString(PyExc_ValueError, "the query colour must be finite");
        return Ref();
    }
    colour::Shares found;
    if (run_kernel(
            [&](kernels::Stop& stop) {
        found = colour::colour_shares(data<std::int64_t>(bucket_starts), data<std::uint8_t>(rows), images,
                                      {lab[0], lab[1], lab[2]}, tolerance, tail, ratio, thread_count, stop);
            },
            Gil::release) < 0)
        return Ref();
    if (found.bad_row) {
        PyErr_Format(PyExc_ValueError, "not a colour index: a row names an image beyond its %lld",
                     static_cast<long long>(images));
        return Ref();
    }
    std::vector<std::int64_t> numbers(found.images.begin(), found.images.end());
    Ref image_array = vector_array(numbers.data(), static_cast<npy_intp>(numbers.size()), NPY_INT64, 8);
    Ref share_array = image_array
                          ? vector_array(found.shares.data(), static_cast<npy_intp>(found.shares.size()), NPY_DOUBLE, 8)
                          : Ref();
    if (!share_array) return Ref();
    return Ref::steal(PyTuple_Pack(2, image_array.get(), share_array.get()));
}

Ref postings(PyObject* records_object, PyObject* counts_object, double tail_ratio) {
    Ref records = array_of(records_object, NPY_UINT8);
    Ref counts = records ? array_of(counts_object, NPY_INT64) : Ref();
    std::vector<std::int64_t> starts;
    if (!counts || !record_starts(records, counts, tail_ratio, starts)) return Ref();
    npy_intp row_dims[2] = {static_cast<npy_intp>(starts.back()), static_cast<npy_intp>(colour::row_bytes)};
    Ref image_rows = Ref::steal(PyArray_SimpleNew(2, row_dims, NPY_UINT8));
    if (!image_rows) return Ref();
    auto* out_rows = static_cast<std::uint8_t*>(PyArray_DATA(as_array(image_rows)));
    const std::uint8_t* in = data<std::uint8_t>(records);
    colour::Postings built;
    if (run_kernel(
            [&](kernels::Stop& stop) {
        built = colour::build_postings(in, starts.data(), size(counts), tail_ratio, out_rows, stop);
            },
            Gil::release) < 0)
        return Ref();
    Ref buckets = vector_array(built.buckets.data(), static_cast<npy_intp>(built.buckets.size()), NPY_UINT32, 4);
    Ref posting_starts =
        buckets ? vector_array(built.starts.data(), static_cast<npy_intp>(built.starts.size()), NPY_INT64, 8) : Ref();
    Ref entries = posting_starts
                      ? vector_array(built.entries.data(), static_cast<npy_intp>(built.entries.size()), NPY_UINT32, 4)
                      : Ref();
    if (!entries) return Ref();
    return Ref::steal(PyTuple_Pack(4, image_rows.get(), buckets.get(), posting_starts.get(), entries.get()));
}

Ref search(PyObject* image_starts_object, PyObject* image_rows_object, PyObject* posting_buckets_object,
           PyObject* posting_starts_object, PyObject* posting_entries_object, PyObject* image_weights_object,
           PyObject* ids_object, PyObject* keep_object, PyObject* queries_object, double tolerance, double min_share,
           PyObject* limit_object, double tail, double ratio) {
    Ref image_starts = array_of(image_starts_object, NPY_INT64);
    Ref image_rows = image_starts ? array_of(image_rows_object, NPY_UINT8) : Ref();
    Ref posting_buckets = image_rows ? array_of(posting_buckets_object, NPY_UINT32) : Ref();
    Ref posting_starts = posting_buckets ? array_of(posting_starts_object, NPY_INT64) : Ref();
    Ref posting_entries = posting_starts ? array_of(posting_entries_object, NPY_UINT32) : Ref();
    Ref image_weights = posting_entries ? array_of(image_weights_object, NPY_UINT64) : Ref();
    Ref ids = image_weights ? array_of(ids_object, NPY_INT64) : Ref();
    Ref keep = ids ? array_of(keep_object, NPY_BOOL) : Ref();
    Ref queries = keep ? array_of(queries_object, NPY_DOUBLE) : Ref();
    long long limit = 0;
    if (!queries || to_integer(limit_object, &limit) < 0) return Ref();
    if (limit < 1) {
        PyErr_Format(PyExc_ValueError, "limit must be 1 or more, got %lld", limit);
        return Ref();
    }
    const npy_intp images = size(ids);
    const std::int64_t row_count = size(image_rows) / static_cast<std::int64_t>(colour::row_bytes);
    const npy_intp filled = size(posting_buckets);
    const npy_intp blocks = (images + colour::block_images - 1) / colour::block_images;
    // Of the starts only the ends are checked here, the others where the search reads them: a pass over
    // every block's start of every listed bucket would cost more than many a search.
    const std::int64_t* starts = data<std::int64_t>(posting_starts);
    if (size(image_rows) % static_cast<std::int64_t>(colour::row_bytes) || size(image_starts) != images + 1 ||
        !offsets_fit(data<std::int64_t>(image_starts), size(image_starts), row_count) ||
        size(posting_starts) != blocks * filled + 1 || starts[0] != 0 ||
        starts[blocks * filled] != size(posting_entries) ||
        !buckets_fit(data<std::uint32_t>(posting_buckets), filled)) {
        PyErr_SetString(PyExc_ValueError, "not a colour index: its starts do not fit its rows and postings");
        return Ref();
    }
    if (size(image_weights) != images) {
        PyErr_Format(PyExc_ValueError, "not a colour index: %zd image weights for %zd images",
                     static_cast<Py_ssize_t>(size(image_weights)), static_cast<Py_ssize_t>(images));
        return Ref();
    }
    if (size(keep) != images) {
        PyErr_Format(PyExc_ValueError, "keep must have one entry per image (%zd), got %zd",
                     static_cast<Py_ssize_t>(images), static_cast<Py_ssize_t>(size(keep)));
        return Ref();
    }
    if (!(tolerance >= 0.0) || !std::isfinite(tolerance) || !(tail > 0.0) || !std::isfinite(tail) || !(ratio > 0.0) ||
        !std::isfinite(ratio) || !(min_share >= 0.0) || !std::isfinite(min_share)) {
        PyErr_SetString(PyExc_ValueError,
                        "tolerance, min_share, tail and ratio must be finite, tolerance and min_share not negative, "
                        "tail and ratio above 0");
        return Ref();
    }
    if (size(queries) == 0 || size(queries) % 3) {
        PyErr_SetString(PyExc_ValueError, "the query colours must be rows of 3 numbers (L*, a*, b*), at least one");
        return Ref();
    }
    std::vector<colour::Lab> labs;
    for (npy_intp at = 0; at < size(queries); at += 3) {
        const double* lab = data<double>(queries) + at;
        if (!std::isfinite(lab[0]) || !std::isfinite(lab[1]) || !std::isfinite(lab[2])) {
            PyErr_SetString(PyExc_ValueError, "the query colours must be finite");
            return Ref();
        }
        labs.push_back({lab[0], lab[1], lab[2]});
    }
    const colour::ThresholdIndex index{
        data<std::int64_t>(image_starts),     data<std::uint8_t>(image_rows),
        static_cast<std::int64_t>(images),    data<std::uint32_t>(posting_buckets),
        static_cast<std::int64_t>(filled),    starts,
        data<std::uint32_t>(posting_entries), static_cast<std::int64_t>(size(posting_entries)),
        data<std::uint64_t>(image_weights)};
    const auto* kept = reinterpret_cast<const std::uint8_t*>(data<npy_bool>(keep));
    colour::Found found;
    if (run_kernel(
            [&](kernels::Stop& stop) {
        found = colour::threshold_search(index, kept, data<std::int64_t>(ids), labs, tolerance, tail, ratio, min_share,
                                         static_cast<std::int64_t>(limit), workers(0), stop);
            },
            Gil::release) < 0)
        return Ref();
    if (found.bad_entry) {
        PyErr_SetString(PyExc_ValueError, "not a colour index: an entry names an image or bucket beyond it");
        return Ref();
    }
    std::vector<std::int64_t> numbers(found.images.begin(), found.images.end());
    npy_intp dims[2] = {static_cast<npy_intp>(numbers.size()), static_cast<npy_intp>(labs.size())};
    Ref image_array = vector_array(numbers.data(), dims[0], NPY_INT64, 8);
    Ref share_array = image_array ? Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE)) : Ref();
    if (!share_array) return Ref();
    if (!found.shares.empty())
        std::memcpy(PyArray_DATA(as_array(share_array)), found.shares.data(), found.shares.size() * sizeof(double));
    return Ref::steal(PyTuple_Pack(2, image_array.get(), share_array.get()));
}

Ref signature_shared(PyObject* column_starts_object, PyObject* images_object, PyObject* weights_object,
                     PyObject* image_count_object, PyObject* query_object, int threads) {
    Ref column_starts = array_of(column_starts_object, NPY_INT64);
    Ref images = column_starts ? array_of(images_object, NPY_UINT32) : Ref();
    Ref weights = images ? array_of(weights_object, NPY_UINT16) : Ref();
    Ref query = weights ? array_of(query_object, NPY_DOUBLE) : Ref();
    std::int64_t image_count = 0;
    const int thread_count = query ? workers(threads) : -1;
    if (thread_count < 0 || whole_number(image_count_object, &image_count, "image_count") < 0) return Ref();
    const npy_intp vertices = size(query);
    if (size(column_starts) != vertices + 1 || size(images) != size(weights) ||
        !offsets_fit(data<std::int64_t>(column_starts), size(column_starts), size(images))) {
        PyErr_SetString(PyExc_ValueError, "not a signature index: its column starts do not fit its entries");
        return Ref();
    }
    npy_intp dims = static_cast<npy_intp>(image_count);
    Ref shared = Ref::steal(PyArray_SimpleNew(1, &dims, NPY_DOUBLE));
    if (!shared) return Ref();
    auto* out = static_cast<double*>(PyArray_DATA(as_array(shared)));
    if (run_kernel(
            [&](kernels::Stop& stop) {
        colour::signature_shared(data<std::int64_t>(column_starts), vertices, data<std::uint32_t>(images),
                                 data<std::uint16_t>(weights), data<double>(query), image_count, out, thread_count,
                                 stop);
            },
            Gil::release) < 0)
        return Ref();
    return shared;
}

}  // namespace lq::colour_index
