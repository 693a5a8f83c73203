// The share of each cluster, in percent of the non-noise pixels, in ascending label order.
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/convert.hpp"
#include "preparation/preparation.hpp"

namespace lq::preparation {

Ref calculate_percentages(ColorExtractor*, PyObject* labels) {
    Ref unique = attr(module_global<"np">(), name<"unique">());
    Ref found = call(unique, {labels}, {Kw{name<"return_counts">(), Py_True}});
    Ref distinct, counts;
    if (!found || unpack_pair(found.get(), &distinct, &counts) < 0) return Ref();
    Ref not_noise = Ref::steal(PyObject_RichCompare(distinct.get(), small_int<-1>(), Py_NE));
    Ref kept = item(counts, not_noise);
    if (!kept) return Ref();
    Ref sum = attr(module_global<"np">(), name<"sum">());
    Ref total = call(sum, {kept});
    Ref fractions = total ? Ref::steal(PyNumber_TrueDivide(kept.get(), total.get())) : Ref();
    Ref percentages = fractions ? Ref::steal(PyNumber_Multiply(fractions.get(), small_int<100>())) : Ref();
    return call_method(percentages, name<"tolist">());
}

}  // namespace lq::preparation
