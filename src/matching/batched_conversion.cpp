// Colour conversions of many distinct colours in one OpenCV call. In an N x 1 x 3 image each colour is
// the only pixel of its row, as in the one-pixel images of the per-pixel path; the tests check over all
// 2^24 colours that both conversions agree.
#include <cstring>
#include <new>

#include "interop/constants.hpp"
#include "interop/numpy_api.hpp"
#include "interop/opencv.hpp"
#include "matching/match_report.hpp"

namespace lq::matching {
int convert_triples(const std::vector<std::uint8_t>& triples, PyObject* code_name, std::vector<std::uint8_t>* out) try {
    npy_intp dims[3] = {static_cast<npy_intp>(triples.size() / 3), 1, 3};
    Ref image = Ref::steal(PyArray_SimpleNew(3, dims, NPY_UINT8));
    if (!image) return -1;
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(image.get())), triples.data(), triples.size());
    Ref converted = cvt_color(image, code_name);
    if (!converted) return -1;
    auto* result = reinterpret_cast<PyArrayObject*>(converted.get());
    if (!PyArray_Check(converted.get()) || PyArray_TYPE(result) != NPY_UBYTE ||
        PyArray_SIZE(result) != static_cast<npy_intp>(triples.size()) || !PyArray_IS_C_CONTIGUOUS(result)) {
        PyErr_SetString(PyExc_SystemError, "cv2.cvtColor returned an unexpected array");
        return -1;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(PyArray_DATA(result));
    out->assign(bytes, bytes + triples.size());
    return 0;
} catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
}

Ref rgb_rows_batched(PyObject* pixels, DistinctColors* distinct) try {
    const kernels::ByteRows rows = byte_rows(pixels);
    auto table = std::make_unique<kernels::DistinctRows>(rows);
    std::vector<std::uint8_t> rgb;
    if (convert_triples(table->triples(), name<"COLOR_LAB2RGB">(), &rgb) < 0) return Ref();
    npy_intp dims[2] = {rows.count, 3};
    Ref result = Ref::steal(PyArray_SimpleNew(2, dims, NPY_UINT8));
    if (!result) return Ref();
    auto* out = static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    for (std::ptrdiff_t row = 0; row < rows.count; ++row)
        std::memcpy(out + 3 * row, rgb.data() + 3 * static_cast<std::size_t>(table->find_row(rows, row)), 3);
    distinct->adopt(std::move(table), std::move(rgb));
    return result;
} catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return Ref();
}

}  // namespace lq::matching
