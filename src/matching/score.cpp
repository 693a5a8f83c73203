#include "matching/score.hpp"

#include "interop/constants.hpp"

namespace lq::matching {

Ref clamped_score(PyObject* scale, PyObject* distance) {
    Ref gap = Ref::steal(PyNumber_Subtract(scale, distance));
    if (!gap) return Ref();
    Ref ratio = Ref::steal(PyNumber_TrueDivide(gap.get(), scale));
    if (!ratio) return Ref();
    Ref score = Ref::steal(PyNumber_Multiply(ratio.get(), small_int<100>()));
    if (!score) return Ref();
    const int positive = PyObject_RichCompareBool(score.get(), small_int<0>(), Py_GT);
    if (positive < 0) return Ref();
    return positive ? score : Ref::borrow(small_int<0>());
}

}  // namespace lq::matching
