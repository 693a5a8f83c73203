#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "matching/match_report.hpp"
#include "matching/score.hpp"

namespace lq::matching {

Ref band_share(PyObject* count, PyObject* total_pixels) {
    if (!count) return Ref();
    Ref fraction = Ref::steal(PyNumber_TrueDivide(count, total_pixels));
    if (!fraction) return Ref();
    return Ref::steal(PyNumber_Multiply(fraction.get(), small_int<100>()));
}

Ref match_entry(const BandShares& shares, PyObject* closest_pixel, PyObject* min_distance) {
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || set_item(entry, name<"total_percentage">(), round_to_2(shares.somewhat_close.get())) < 0 ||
        set_item(entry, name<"close_percentage">(), round_to_2(shares.close.get())) < 0 ||
        set_item(entry, name<"very_close_percentage">(), round_to_2(shares.very_close.get())) < 0 ||
        set_item(entry, name<"closest_pixel">(), tuple_of_ints(closest_pixel)) < 0 ||
        set_item(entry, name<"min_distance">(), round_to_2(min_distance)) < 0)
        return Ref();
    Ref score = clamped_score(small_int<50>(), min_distance);
    if (!score || set_item(entry, name<"similarity_score">(), round_to_2(score.get())) < 0) return Ref();
    return entry;
}

}  // namespace lq::matching
