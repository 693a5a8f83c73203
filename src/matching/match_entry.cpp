#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/process_state.hpp"
#include "matching/match_report.hpp"

namespace lq::matching {
namespace {

Ref round2(PyObject* value) { return call(process_state().round, {value, small_int<2>()}); }

// tuple(int(c) for c in pixel)
Ref int_components(PyObject* pixel) {
    Ref iterator = Ref::steal(PyObject_GetIter(pixel));
    Ref components = Ref::steal(PyList_New(0));
    if (!iterator || !components) return Ref();
    while (Ref component = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref integer = Ref::steal(PyNumber_Long(component.get()));
        if (!integer || PyList_Append(components.get(), integer.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return Ref::steal(PyList_AsTuple(components.get()));
}

Ref similarity_score(PyObject* min_distance) {
    Ref gap = Ref::steal(PyNumber_Subtract(small_int<50>(), min_distance));
    if (!gap) return Ref();
    Ref ratio = Ref::steal(PyNumber_TrueDivide(gap.get(), small_int<50>()));
    if (!ratio) return Ref();
    Ref score = Ref::steal(PyNumber_Multiply(ratio.get(), small_int<100>()));
    if (!score) return Ref();
    const int positive = PyObject_RichCompareBool(score.get(), small_int<0>(), Py_GT);
    if (positive < 0) return Ref();
    return positive ? score : Ref::borrow(small_int<0>());
}

}  // namespace

Ref band_share(PyObject* count, PyObject* total_pixels) {
    if (!count) return Ref();
    Ref fraction = Ref::steal(PyNumber_TrueDivide(count, total_pixels));
    if (!fraction) return Ref();
    return Ref::steal(PyNumber_Multiply(fraction.get(), small_int<100>()));
}

Ref match_entry(const BandShares& shares, PyObject* closest_pixel, PyObject* min_distance) {
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || set_item(entry, name<"total_percentage">(), round2(shares.somewhat_close.get())) < 0 ||
        set_item(entry, name<"close_percentage">(), round2(shares.close.get())) < 0 ||
        set_item(entry, name<"very_close_percentage">(), round2(shares.very_close.get())) < 0 ||
        set_item(entry, name<"closest_pixel">(), int_components(closest_pixel)) < 0 ||
        set_item(entry, name<"min_distance">(), round2(min_distance)) < 0)
        return Ref();
    Ref score = similarity_score(min_distance);
    if (!score || set_item(entry, name<"similarity_score">(), round2(score.get())) < 0) return Ref();
    return entry;
}

}  // namespace lq::matching
