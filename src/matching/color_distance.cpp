#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "interop/opencv.hpp"
#include "matching/matching.hpp"

namespace lq::matching {

int color_distance_lab(ColorExtractor*, PyObject* color1, PyObject* color2, double* out) {
    Ref lab1 = convert_one_pixel(color1, name<"COLOR_RGB2LAB">());
    if (!lab1) return -1;
    Ref lab2 = convert_one_pixel(color2, name<"COLOR_RGB2LAB">());
    if (!lab2) return -1;
    PyObject* as_float = reinterpret_cast<PyObject*>(&PyFloat_Type);
    Ref first = call_method(lab1, name<"astype">(), {as_float});
    if (!first) return -1;
    Ref second = call_method(lab2, name<"astype">(), {as_float});
    if (!second) return -1;
    Ref difference = Ref::steal(PyNumber_Subtract(first.get(), second.get()));
    if (!difference) return -1;
    Ref squares = Ref::steal(PyNumber_Power(difference.get(), small_int<2>(), Py_None));
    if (!squares) return -1;
    Ref sqrt = attr(module_global<"np">(), name<"sqrt">());
    if (!sqrt) return -1;
    Ref total = call(attr(module_global<"np">(), name<"sum">()), {squares});
    if (!total) return -1;
    Ref root = call(sqrt, {total});
    if (!root) return -1;
    return to_double(root.get(), out);
}

}  // namespace lq::matching
