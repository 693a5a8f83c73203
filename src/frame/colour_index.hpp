// The colour index's module-level functions: building the index from stored distributions, the shares
// of a colour search over it, and similar's signature intersection. Each checks its arrays (types,
// sizes, offsets within bounds) before the kernel reads them, so that a damaged index file is a
// ValueError, never a wild read.
#pragma once

#include "interop/ref.hpp"

namespace lq::colour_index {

// _colour_index(records, counts, tail_ratio) -> (bucket_starts, rows)
Ref build(PyObject* records, PyObject* counts, double tail_ratio);

// _colour_shares(bucket_starts, rows, images, query, tolerance, tail, ratio, threads) -> (images, shares)
Ref shares(PyObject* bucket_starts, PyObject* rows, PyObject* images, PyObject* query, double tolerance, double tail,
           double ratio, int threads);

// _colour_postings(records, counts, tail_ratio) -> (image_rows, posting_starts, posting_images, posting_masses)
Ref postings(PyObject* records, PyObject* counts, double tail_ratio);

// _colour_search(image_starts, image_rows, posting_starts, posting_images, posting_masses, image_weights, ids,
//                keep, queries, tolerance, min_share, limit, tail, ratio) -> (images, shares)
Ref search(PyObject* image_starts, PyObject* image_rows, PyObject* posting_starts, PyObject* posting_images,
           PyObject* posting_masses, PyObject* image_weights, PyObject* ids, PyObject* keep, PyObject* queries,
           double tolerance, double min_share, PyObject* limit, double tail, double ratio);

// _signature_shared(column_starts, images, weights, image_count, query, threads) -> shared
Ref signature_shared(PyObject* column_starts, PyObject* images, PyObject* weights, PyObject* image_count,
                     PyObject* query, int threads);

}  // namespace lq::colour_index
