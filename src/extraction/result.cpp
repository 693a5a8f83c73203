// Pairing the colours with their shares, and the ColorInfo list.
#include <vector>

#include "extraction/extraction.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "interop/numpy_api.hpp"

namespace lq::extraction {
namespace {

// Appends {"color": ..., "percentage": round(percentage, 2)}, the items in this order.
int append_entry(PyObject* result, PyObject* color, PyObject* percentage) {
    Ref entry = Ref::steal(PyDict_New());
    Ref rgb = tuple_of_ints(color);
    if (!entry || !rgb || PyDict_SetItem(entry.get(), name<"color">(), rgb.get()) < 0) return -1;
    Ref share = round_to_2(percentage);
    if (!share || PyDict_SetItem(entry.get(), name<"percentage">(), share.get()) < 0) return -1;
    return PyList_Append(result, entry.get());
}

// zip(colors, percentages): the i-th colour with the i-th share, up to the shorter of the two.
int append_by_position(PyObject* result, PyObject* colors, PyObject* percentages) {
    Ref pairs = call(process_state().zip, {colors, percentages});
    Ref iterator = Ref::steal(pairs ? PyObject_GetIter(pairs.get()) : nullptr);
    if (!iterator) return -1;
    while (Ref pair = Ref::steal(PyIter_Next(iterator.get())))
        if (append_entry(result, PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1)) < 0) return -1;
    return PyErr_Occurred() ? -1 : 0;
}

// Label L names centre row L, and the j-th share belongs to the j-th distinct label. A centre whose
// cluster received no pixel has no label and is not reported; labels beyond the centres (groups cut
// by the clustering) have a share but no colour. When every label 0..k-1 occurs this is exactly the
// positional pairing.
int append_by_label(PyObject* result, PyObject* colors, PyObject* percentages, const std::vector<long long>& labels) {
    const Py_ssize_t rows = PyObject_Length(colors);
    if (rows < 0) return -1;
    for (size_t index = 0; index < labels.size() && labels[index] < rows; ++index) {
        // Re-checked on every step: rounding a share could run code that changes the list.
        const Py_ssize_t position = static_cast<Py_ssize_t>(index);
        if (position >= PyList_GET_SIZE(percentages)) break;
        Ref share = Ref::borrow(PyList_GET_ITEM(percentages, position));
        Ref color = Ref::steal(PySequence_GetItem(colors, static_cast<Py_ssize_t>(labels[index])));
        if (!color || append_entry(result, color.get(), share.get()) < 0) return -1;
    }
    return 0;
}

// The label pairing needs labels that can name rows and one share per distinct label. A subclass's
// clustering or counting may return something else (float labels, negative labels other than the
// noise label -1, a share list of another length, centres that are not an array); we cannot tell
// which share it meant for which colour then, so its result is paired by position as it always was.
// yes when the label pairing applies (`labels_out` filled).
Applies pairs_by_label(PyObject* colors, PyObject* labels, PyObject* percentages, std::vector<long long>& labels_out) {
    if (!PyList_CheckExact(percentages) || !PyArray_Check(colors) || PyArray_NDIM(as_array(colors)) < 1)
        return Applies::no;
    const Applies fits = distinct_row_labels(labels, labels_out);
    if (fits != Applies::yes) return fits;
    return static_cast<Py_ssize_t>(labels_out.size()) == PyList_GET_SIZE(percentages) ? Applies::yes : Applies::no;
}

PyObject* percentage_of(PyObject*, PyObject* entry) { return PyObject_GetItem(entry, name<"percentage">()); }

PyMethodDef percentage_key_def = {"percentage_key", percentage_of, METH_O, nullptr};

// result.sort(key=lambda entry: entry["percentage"], reverse=True): stable, so entries whose rounded
// shares are equal keep the colours' order.
int sort_by_share(PyObject* result) {
    Ref key = Ref::steal(PyCFunction_New(&percentage_key_def, nullptr));
    Ref sorted = call_method(result, name<"sort">(), {}, {Kw{name<"key">(), key}, Kw{name<"reverse">(), Py_True}});
    return sorted ? 0 : -1;
}

}  // namespace

Ref assemble_result_by_labels(PyObject* colors, const std::vector<long long>& labels, PyObject* percentages) {
    Ref result = Ref::steal(PyList_New(0));
    if (!result || append_by_label(result.get(), colors, percentages, labels) < 0 || sort_by_share(result.get()) < 0)
        return Ref();
    return result;
}

Ref assemble_result(PyObject* colors, PyObject* labels, PyObject* percentages) {
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return Ref();
    std::vector<long long> distinct;
    const Applies by_label = pairs_by_label(colors, labels, percentages, distinct);
    if (by_label == Applies::error) return Ref();
    const int appended = by_label == Applies::yes ? append_by_label(result.get(), colors, percentages, distinct)
                                                  : append_by_position(result.get(), colors, percentages);
    if (appended < 0 || sort_by_share(result.get()) < 0) return Ref();
    return result;
}

}  // namespace lq::extraction
