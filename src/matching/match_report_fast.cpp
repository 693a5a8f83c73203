// The match report's fast path: each target's distances computed natively once per distinct colour of
// pixels_rgb (kernels/match_distances.hpp), the entry then built with the same interpreter arithmetic
// as the literal path.
#include "interop/constants.hpp"
#include "interop/kernel.hpp"
#include "interop/numpy_api.hpp"
// after the API header, which sets up NumPy's includes
#include <numpy/arrayscalars.h>
#include "interop/traceback.hpp"
#include "kernels/match_distances.hpp"
#include "matching/match_report.hpp"
#include "preparation/preparation.hpp"

namespace lq::matching {
namespace {

// The LAB value cvtColor gives a target, when it is a plain triple of bytes as for any pixel.
bool byte_triple(PyObject* lab, std::uint8_t out[3]) {
    if (!PyArray_Check(lab)) return false;
    auto* array = as_array(lab);
    if (PyArray_TYPE(array) != NPY_UBYTE || PyArray_NDIM(array) != 1 || PyArray_DIM(array, 0) != 3) return false;
    for (npy_intp channel = 0; channel < 3; ++channel)
        out[channel] = *static_cast<const std::uint8_t*>(PyArray_GETPTR1(array, channel));
    return true;
}

// As np.sum over a boolean array gives it: the default integer scalar.
Ref count_scalar(std::int64_t count) {
    Ref scalar = Ref::steal(PyArrayScalar_New(Long));
    if (scalar) PyArrayScalar_ASSIGN(scalar.get(), Long, static_cast<npy_long>(count));
    return scalar;
}

// As an element of a float64 array reads: a numpy.float64 scalar.
Ref float64_scalar(double value) {
    Ref scalar = Ref::steal(PyArrayScalar_New(Double));
    if (scalar) PyArrayScalar_ASSIGN(scalar.get(), Double, value);
    return scalar;
}

}  // namespace

int DistinctColors::prepare(PyObject* pixels_rgb) {
    preparation::PrivateRows copy;
    if (preparation::copy_rows(pixels_rgb, &copy) < 0) return -1;
    return run_kernel(
        [&](kernels::Stop&) {
        rows_.table = std::make_unique<kernels::DistinctRows>(copy.view());
        rows_.converted = rows_.table->triples();
        lab_.clear();
        },
        Gil::release);
}

void DistinctColors::adopt(preparation::ConvertedRows rows) noexcept {
    rows_ = std::move(rows);
    lab_.clear();
}

Applies DistinctColors::entry(PyObject* target_array, PyObject* total_pixels, Ref* entry) {
    Ref target_lab = preparation::convert_one_pixel(target_array, name<"COLOR_RGB2LAB">());
    if (!target_lab) {
        add_method_traceback("_color_distance_lab");
        return Applies::error;
    }
    std::uint8_t target[3];
    if (!byte_triple(target_lab.get(), target)) return Applies::no;
    if (lab_.empty()) {
        const Applies converted = preparation::convert_triples(rows_.converted, name<"COLOR_RGB2LAB">(), &lab_);
        if (converted != Applies::yes) return converted;
    }
    kernels::BandCounts counts;
    if (run_kernel([&](kernels::Stop&) { counts = kernels::count_bands(target, *rows_.table, lab_.data()); },
                   Gil::release) < 0)
        return Applies::error;
    BandShares shares;
    if (!(shares.very_close = band_share(count_scalar(counts.very_close), total_pixels)) ||
        !(shares.close = band_share(count_scalar(counts.close), total_pixels)) ||
        !(shares.somewhat_close = band_share(count_scalar(counts.somewhat_close), total_pixels)))
        return Applies::error;
    const std::uint8_t* rgb = rows_.converted.data() + 3 * counts.nearest;
    Ref closest_pixel = Ref::steal(Py_BuildValue("(iii)", rgb[0], rgb[1], rgb[2]));
    Ref min_distance = float64_scalar(counts.nearest_distance);
    if (!closest_pixel || !min_distance) return Applies::error;
    *entry = match_entry(shares, closest_pixel.get(), min_distance.get());
    return *entry ? Applies::yes : Applies::error;
}

}  // namespace lq::matching
