// The colour chart: one horizontal bar on an axis from 0 to 1, one segment per colour, as wide as its
// share. pyplot is looked up as the module global `plt` at every use, so rebinding it redirects the chart.
#include "chart/chart.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"

namespace lq::chart {
namespace {

// [c / 255.0 for c in channels]
Ref scaled_color(PyObject* channels) {
    Ref iterator = Ref::steal(PyObject_GetIter(channels));
    Ref color = Ref::steal(PyList_New(0));
    if (!iterator || !color) return Ref();
    while (Ref channel = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref scaled = true_divide(channel, cached_float<255.0>());
        if (!scaled || PyList_Append(color.get(), scaled.get()) < 0) return Ref();
    }
    return PyErr_Occurred() ? Ref() : color;
}

// format(percentage, ".1f") + "%"
Ref label_text(PyObject* percentage) {
    Ref formatted = Ref::steal(PyObject_Format(percentage, name<".1f">()));
    return add(formatted, name<"%">());
}

// One segment from `start`, labelled when wider than a twentieth; `start` moves to its right end.
int draw_segment(PyObject* ax, PyObject* color_info, Ref* start) {
    Ref channels = item(color_info, name<"color">());
    Ref color = channels ? scaled_color(channels.get()) : Ref();
    if (!color) return -1;
    Ref percentage = item(color_info, name<"percentage">());
    if (!percentage) return -1;
    Ref width = true_divide(percentage, cached_float<100.0>());
    if (!width) return -1;
    Ref bar =
        call_method(ax, name<"barh">(), {small_int<0>(), width},
                    {Kw{name<"left">(), *start}, Kw{name<"height">(), cached_float<0.8>()}, Kw{name<"color">(), color},
                     Kw{name<"edgecolor">(), name<"white">()}, Kw{name<"linewidth">(), small_int<1>()}});
    if (!bar) return -1;
    const int labelled = compare_bool(width, cached_float<0.05>(), Py_GT);
    if (labelled < 0) return -1;
    if (labelled) {
        Ref text = attr(ax, name<"text">());
        Ref x = add(*start, true_divide(width, small_int<2>()));
        Ref label = x ? label_text(percentage.get()) : Ref();
        Ref written = call(text, {x, small_int<0>(), label},
                           {Kw{name<"ha">(), name<"center">()}, Kw{name<"va">(), name<"center">()},
                            Kw{name<"fontweight">(), name<"bold">()}});
        if (!written) return -1;
    }
    *start = add(*start, width);
    return *start ? 0 : -1;
}

int set_axes(PyObject* ax) {
    Ref no_ticks = Ref::steal(PyList_New(0));
    Ref done = call_method(ax, name<"set_xlim">(), {small_int<0>(), small_int<1>()});
    done = done ? call_method(ax, name<"set_ylim">(), {cached_float<-0.5>(), cached_float<0.5>()}) : Ref();
    done = done ? call_method(ax, name<"set_xlabel">(), {name<"Color Distribution">()}) : Ref();
    done = done ? call_method(ax, name<"set_title">(), {name<"Extracted Colors with Percentages">()}) : Ref();
    done = done ? call_method(ax, name<"set_yticks">(), {no_ticks}) : Ref();
    return done ? 0 : -1;
}

// tight_layout, savefig when a non-empty path is given, show.
int finish_figure(PyObject* save_path) {
    if (!call_method(module_global<"plt">(), name<"tight_layout">())) return -1;
    if (PyUnicode_Check(save_path) && PyUnicode_GET_LENGTH(save_path) > 0) {
        Ref saved = call_method(module_global<"plt">(), name<"savefig">(), {save_path},
                                {Kw{name<"dpi">(), small_int<300>()}, Kw{name<"bbox_inches">(), name<"tight">()}});
        if (!saved) return -1;
    }
    return call_method(module_global<"plt">(), name<"show">()) ? 0 : -1;
}

}  // namespace

// `colors` is exactly a list and `save_path` exactly a str or None (checked by the method wrapper).
Ref visualize_colors(ColorExtractor*, PyObject* colors, PyObject* save_path) {
    if (PyList_GET_SIZE(colors) == 0) return Ref::none();
    Ref figure = call_method(module_global<"plt">(), name<"subplots">(), {small_int<1>(), small_int<1>()},
                             {Kw{name<"figsize">(), int_tuple<12, 2>()}});
    Ref fig, ax;
    if (!figure || unpack_pair(figure.get(), &fig, &ax) < 0) return Ref();
    Ref start = Ref::borrow(small_int<0>());
    Ref iterator = Ref::steal(PyObject_GetIter(colors));
    if (!iterator) return Ref();
    while (Ref color_info = Ref::steal(PyIter_Next(iterator.get())))
        if (draw_segment(ax.get(), color_info.get(), &start) < 0) return Ref();
    if (PyErr_Occurred() || set_axes(ax.get()) < 0 || finish_figure(save_path) < 0) return Ref();
    return Ref::none();
}

}  // namespace lq::chart
