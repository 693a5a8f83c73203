// The share of each cluster, in percent of the non-noise pixels, in ascending label order.
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "preparation/preparation.hpp"

namespace lq::preparation {

Ref calculate_percentages(ColorExtractor*, PyObject* labels) {
    Ref unique = attr(module_global<"np">(), name<"unique">());
    Ref found = call(unique, {labels}, {Kw{name<"return_counts">(), Py_True}});
    Ref distinct, counts;
    if (!found || unpack_pair(found.get(), &distinct, &counts) < 0) return Ref();
    Ref kept = item(counts, compare(distinct, small_int<-1>(), Py_NE));
    if (!kept) return Ref();
    Ref sum = attr(module_global<"np">(), name<"sum">());
    Ref total = call(sum, {kept});
    Ref percentages = multiply(true_divide(kept, total), small_int<100>());
    return call_method(percentages, name<"tolist">());
}

}  // namespace lq::preparation
