// The distances of the match report computed natively, once per distinct colour of pixels_rgb. Each
// is what the distance primitive returns for that pixel: the 8-bit LAB triples as doubles, difference,
// squares summed in channel order, square root. (The squares and their sums are integers below 2^18,
// so every step is exact and only the square root rounds, as np.sqrt does.)
#include <cmath>
#include <limits>
#include <new>

#include "interop/constants.hpp"
#include "interop/numpy_api.hpp"
// after the API header, which sets up NumPy's includes
#include <numpy/arrayscalars.h>
#include "interop/opencv.hpp"
#include "interop/traceback.hpp"
#include "matching/match_report.hpp"

namespace lq::matching {
namespace {

struct Nearest {
    double distance = std::numeric_limits<double>::infinity();
    std::int64_t first_row = std::numeric_limits<std::int64_t>::max();
    std::size_t index = 0;
};

struct Bands {
    std::int64_t very_close = 0, close = 0, somewhat_close = 0;
};

// The LAB value cvtColor gives a target, when it is a plain triple of bytes as for any pixel.
bool byte_triple(PyObject* lab, std::uint8_t out[3]) {
    if (!PyArray_Check(lab)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(lab);
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

DistinctColors::DistinctColors() = default;
DistinctColors::~DistinctColors() = default;

int DistinctColors::prepare(PyObject* pixels_rgb) try {
    auto table = std::make_unique<kernels::DistinctRows>(byte_rows(pixels_rgb));
    std::vector<std::uint8_t> rgb = table->triples();
    adopt(std::move(table), std::move(rgb));
    return 0;
} catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
}

void DistinctColors::adopt(std::unique_ptr<kernels::DistinctRows> table, std::vector<std::uint8_t> rgb) noexcept {
    table_ = std::move(table);
    rgb_ = std::move(rgb);
    lab_.clear();
}

int DistinctColors::entry(PyObject* target_array, PyObject* total_pixels, Ref* entry) {
    Ref target_lab = convert_one_pixel(target_array, name<"COLOR_RGB2LAB">());
    if (!target_lab) {
        add_method_traceback("_color_distance_lab");
        return -1;
    }
    std::uint8_t target[3];
    if (!byte_triple(target_lab.get(), target)) return 0;
    if (lab_.empty() && convert_triples(rgb_, name<"COLOR_RGB2LAB">(), &lab_) < 0) return -1;
    Bands bands;
    Nearest nearest;
    for (std::size_t index = 0; index < static_cast<std::size_t>(table_->count()); ++index) {
        const std::uint8_t* lab = lab_.data() + 3 * index;
        const double d0 = static_cast<double>(target[0]) - static_cast<double>(lab[0]);
        const double d1 = static_cast<double>(target[1]) - static_cast<double>(lab[1]);
        const double d2 = static_cast<double>(target[2]) - static_cast<double>(lab[2]);
        const double distance = std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
        const std::int64_t count = table_->weights()[index];
        if (distance < 15.0) bands.very_close += count;
        if (distance < 30.0) bands.close += count;
        if (distance < 50.0) bands.somewhat_close += count;
        const std::int64_t first_row = table_->first_row(index);
        if (distance < nearest.distance || (distance == nearest.distance && first_row < nearest.first_row))
            nearest = {distance, first_row, index};
    }
    BandShares shares;
    if (!(shares.very_close = band_share(count_scalar(bands.very_close).get(), total_pixels)) ||
        !(shares.close = band_share(count_scalar(bands.close).get(), total_pixels)) ||
        !(shares.somewhat_close = band_share(count_scalar(bands.somewhat_close).get(), total_pixels)))
        return -1;
    const std::uint8_t* rgb = rgb_.data() + 3 * nearest.index;
    Ref closest_pixel = Ref::steal(Py_BuildValue("(iii)", rgb[0], rgb[1], rgb[2]));
    Ref min_distance = float64_scalar(nearest.distance);
    if (!closest_pixel || !min_distance) return -1;
    *entry = match_entry(shares, closest_pixel.get(), min_distance.get());
    return *entry ? 1 : -1;
}

}  // namespace lq::matching
