// Puts the method function objects into the class dictionary with their qualified names, defaults and
// annotations, and the unpickle function into the module globals.
#include "frame/method_table.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/process_state.hpp"

namespace lq {
namespace {

constexpr const char* module_name = "lumvarde_quorle.color_extractor_cy";

struct Annotation {
    const char* parameter;
    const char* text;
};

Ref make_annotations(std::initializer_list<Annotation> annotations) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    for (const Annotation& annotation : annotations) {
        Ref text = Ref::steal(PyUnicode_FromString(annotation.text));
        if (!text || PyDict_SetItemString(dict.get(), annotation.parameter, text.get()) < 0) return Ref();
    }
    return dict;
}

Ref defaults_of(Method method) {
    switch (method) {
        case Method::extract_pixels:
        case Method::extract_colors:
        case Method::visualize_colors:
        case Method::find_color_matches: return make_tuple({Py_None});
        case Method::analyze_color_similarity: return make_tuple({Py_None, cached_float<50.0>()});
        default: return Ref::none();
    }
}

Ref annotations_of(Method method) {
    switch (method) {
        case Method::visualize_colors: return make_annotations({{"colors", "List[dict]"}, {"save_path", "Optional[str]"}});
        case Method::find_closest_color:
            return make_annotations({{"target_color", "Tuple[int, int, int]"},
                                     {"image_colors", "List[dict]"},
                                     {"return", "Tuple[dict, float]"}});
        case Method::analyze_color_similarity:
            return make_annotations({{"target_colors", "Dict[str, Tuple[int, int, int]]"},
                                     {"similarity_threshold", "float"},
                                     {"return", "Dict[str, dict]"}});
        case Method::find_color_matches:
            return make_annotations(
                {{"target_colors", "Dict[str, Tuple[int, int, int]]"}, {"return", "Dict[str, dict]"}});
        default: return make_annotations({});
    }
}

Ref new_method(Method method, PyObject* module) {
    const FunctionDef& def = method_def(method);
    Ref qualname = Ref::steal(PyUnicode_FromFormat("ColorExtractor.%s", def.name));
    Ref defaults = defaults_of(method);
    Ref annotations = annotations_of(method);
    if (!qualname || !defaults || !annotations) return Ref();
    return new_function(&def, qualname.get(), module, defaults.get(), annotations.get());
}

}  // namespace

int install_methods(PyTypeObject* type) {
    Ref module = Ref::steal(PyUnicode_FromString(module_name));
    if (!module) return -1;
    for (size_t index = 0; index < static_cast<size_t>(Method::count); ++index) {
        const Method method = static_cast<Method>(index);
        Ref function = new_method(method, module.get());
        if (!function || PyDict_SetItemString(type->tp_dict, method_def(method).name, function.get()) < 0) return -1;
        PyType_Modified(type);
    }
    return 0;
}

int install_unpickle_function(PyObject* module) {
    const FunctionDef& def = unpickle_function_def();
    Ref qualname = Ref::steal(PyUnicode_FromString(def.name));
    Ref module_name_object = Ref::steal(PyUnicode_FromString(module_name));
    if (!qualname || !module_name_object) return -1;
    Ref function = new_function(&def, qualname.get(), module_name_object.get(), nullptr, nullptr);
    if (!function) return -1;
    return PyDict_SetItemString(PyModule_GetDict(module), def.name, function.get());
}

}  // namespace lq
