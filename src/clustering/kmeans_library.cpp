#include "clustering/kmeans_library.hpp"

#include "interop/call.hpp"
#include "interop/constants.hpp"

namespace lq::clustering {
Ref kmeans_module() {
    Ref module_name = attr(module_global<"KMeans">(), name<"__module__">());
    if (!module_name) return Ref();
    Ref module = Ref::steal(PyImport_GetModule(module_name.get()));
    if (!module && !PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "scikit-learn's K-means module is not loaded");
    return module;
}

int count_fallback(const char* what, const char* reason) {
    PyObject* counts = process_state().kmeans_fallbacks;
    Ref call_name = Ref::steal(PyUnicode_FromString(what));
    Ref why = call_name ? Ref::steal(PyUnicode_FromString(reason)) : Ref();
    Ref key = why ? make_tuple({call_name, why}) : Ref();
    if (!key) return -1;
    Ref before = Ref::borrow(PyDict_GetItemWithError(counts, key.get()));
    if (!before && PyErr_Occurred()) return -1;
    Ref after = before ? Ref::steal(PyNumber_Add(before.get(), small_int<1>())) : Ref::borrow(small_int<1>());
    return after ? PyDict_SetItem(counts, key.get(), after.get()) : -1;
}

int warn_if_fewer_clusters(const std::vector<std::int32_t>& labels, int k) {
    std::vector<char> seen(static_cast<size_t>(k), 0);
    int distinct = 0;
    for (std::int32_t label : labels) distinct += !seen[label]++;
    if (distinct >= k) return 0;
    Ref module = kmeans_module();
    Ref category = module ? attr(module, name<"ConvergenceWarning">()) : Ref();
    if (!category) return -1;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Number of distinct clusters (%d) found smaller than n_clusters (%d). Possibly due to duplicate points in X.",
        distinct, k));
    if (!message) return -1;
    return PyErr_WarnEx(category.get(), PyUnicode_AsUTF8(message.get()), 1);
}

}  // namespace lq::clustering
