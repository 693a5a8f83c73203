// The distinct cluster labels, found in one pass over the label array.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "extraction/extraction.hpp"
#include "interop/numpy_api.hpp"

namespace lq::extraction {
namespace {

// Labels below this are marked in a table; larger ones (never produced by the clustering methods)
// are collected and sorted.
constexpr unsigned long long table_limit = 1u << 20;

struct LabelSet {
    std::vector<unsigned char> small;
    std::vector<unsigned long long> large;
    bool foreign = false;  // a negative label other than -1, or one beyond the signed range

    void add_signed(long long label) {
        if (label < 0) {
            foreign = foreign || label != -1;
            return;
        }
        add(static_cast<unsigned long long>(label));
    }

    void add(unsigned long long label) {
        if (label > static_cast<unsigned long long>(NPY_MAX_LONGLONG)) {
            foreign = true;
            return;
        }
        if (label >= table_limit) {
            large.push_back(label);
            return;
        }
        if (label >= small.size()) small.resize(label + 1, 0);
        small[label] = 1;
    }

    void sorted_into(std::vector<long long>& out) {
        out.clear();
        for (size_t label = 0; label < small.size(); ++label)
            if (small[label]) out.push_back(static_cast<long long>(label));
        std::sort(large.begin(), large.end());
        large.erase(std::unique(large.begin(), large.end()), large.end());
        for (unsigned long long label : large) out.push_back(static_cast<long long>(label));
    }
};

// Reads every label as T (64-bit, signed or unsigned like the array's own type; `type` is its
// NumPy type number).
template <typename T>
int scan(PyArrayObject* labels, int type, LabelSet& set) {
    Ref as = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type)));
    if (!as) return -1;
    NpyIter* iterator = NpyIter_New(
        labels,
        NPY_ITER_READONLY | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED | NPY_ITER_ZEROSIZE_OK | NPY_ITER_GROWINNER,
        NPY_KEEPORDER, NPY_SAFE_CASTING, reinterpret_cast<PyArray_Descr*>(as.get()));
    if (!iterator) return -1;
    if (NpyIter_GetIterSize(iterator) > 0) {
        NpyIter_IterNextFunc* next = NpyIter_GetIterNext(iterator, nullptr);
        if (!next) {
            NpyIter_Deallocate(iterator);
            return -1;
        }
        char** data = NpyIter_GetDataPtrArray(iterator);
        npy_intp* stride = NpyIter_GetInnerStrideArray(iterator);
        npy_intp* size = NpyIter_GetInnerLoopSizePtr(iterator);
        do {
            const char* cursor = data[0];
            for (npy_intp index = 0; index < *size; ++index, cursor += stride[0]) {
                T label;
                std::memcpy(&label, cursor, sizeof label);
                if constexpr (std::is_signed_v<T>) set.add_signed(label);
                else set.add(label);
            }
        } while (next(iterator));
    }
    return NpyIter_Deallocate(iterator) == NPY_SUCCEED ? 0 : -1;
}

}  // namespace

Applies distinct_row_labels(PyObject* labels, std::vector<long long>& out) {
    if (!PyArray_Check(labels)) return Applies::no;
    PyArrayObject* array = as_array(labels);
    if (!PyArray_ISINTEGER(array)) return Applies::no;
    LabelSet set;
    const bool is_unsigned = PyArray_ISUNSIGNED(array);
    const int status =
        is_unsigned ? scan<npy_ulonglong>(array, NPY_ULONGLONG, set) : scan<npy_longlong>(array, NPY_LONGLONG, set);
    if (status < 0) return Applies::error;
    if (set.foreign) return Applies::no;
    set.sorted_into(out);
    return Applies::yes;
}

}  // namespace lq::extraction
