// Every interpreter-visible method of ColorExtractor, declared once: name, parameters (checks,
// conversions, defaults, annotations), docstring and body. Binding, __defaults__, __annotations__,
// __text_signature__ and the method table are derived from these declarations (method_spec.hpp).
//
// To add a parameter, add it to the method's declaration and to its body's parameter list (the two
// must agree or the build fails), then to the type stub.
#include "frame/methods.hpp"

#include <cstring>

#include "chart/chart.hpp"
#include "clustering/clustering.hpp"
#include "clustering/kmeans_native.hpp"
#include "extraction/extraction.hpp"
#include "frame/colour_distribution.hpp"
#include "frame/colour_index.hpp"
#include "frame/extractor_type.hpp"
#include "frame/method_spec.hpp"
#include "frame/pickling.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"
#include "kernels/memory_limits.hpp"
#include "matching/matching.hpp"
#include "model/known_methods.hpp"
#include "preparation/admission.hpp"
#include "preparation/preparation.hpp"

namespace lq {
namespace {

// The overridable stages, called from the interpreter: the module's own body runs, never an override
// (the override rule applies to the module's internal calls only). Their native entries add the
// traceback entry.
Ref preprocess_image(ColorExtractor* self, PyObject* image) {
    return Ref::steal(self->ops->preprocess_image(self, image, 1));
}
Ref convert_to_feature_space(ColorExtractor* self, PyObject* image) {
    return Ref::steal(self->ops->convert_to_feature_space(self, image, 1));
}
Ref apply_mask(ColorExtractor* self, PyObject* image, PyObject* mask) {
    return Ref::steal(self->ops->apply_mask(self, image, mask, 1));
}
Ref extract_pixels(ColorExtractor* self, PyObject* image, PyObject* mask) {
    return Ref::steal(self->ops->extract_pixels(self, image, 1, mask));
}
Ref calculate_percentages(ColorExtractor* self, PyObject* labels) {
    return Ref::steal(self->ops->calculate_percentages(self, labels, 1));
}
Ref color_distance_lab(ColorExtractor* self, PyObject* color1, PyObject* color2) {
    const double distance = self->ops->color_distance_lab(self, color1, color2, 1);
    if (distance == -1.0 && PyErr_Occurred()) return Ref();
    return Ref::steal(PyFloat_FromDouble(distance));
}

// The four settings as the constructor's keyword arguments, the ones this thread's running operation
// works with when called from inside one.
Ref get_params(ColorExtractor* self) {
    const Settings current = settings(self);
    Ref params = Ref::steal(PyDict_New());
    Ref n_colors = params ? Ref::steal(PyLong_FromLong(current.n_colors)) : Ref();
    if (!n_colors || PyDict_SetItemString(params.get(), "n_colors", n_colors.get()) < 0 ||
        PyDict_SetItemString(params.get(), "algorithm", current.algorithm) < 0 ||
        PyDict_SetItemString(params.get(), "preprocessing", current.preprocessing ? Py_True : Py_False) < 0 ||
        PyDict_SetItemString(params.get(), "lab_space", current.lab_space ? Py_True : Py_False) < 0)
        return Ref();
    return params;
}

constexpr Param image_param{"image", Check::ndarray_or_none};
constexpr Param optional_mask{"mask", Check::any, Default::none()};
constexpr const char* target_colors_annotation = "Dict[str, Tuple[int, int, int]]";
constexpr Param target_colors_param{"target_colors", Check::exact_dict, {}, Convert::none, target_colors_annotation};

constexpr MethodSpec preprocess_image_method{"_preprocess_image",
                                             params(image_param),
                                             &preprocess_image,
                                             "Apply preprocessing for robustness against noise and lighting.",
                                             nullptr,
                                             Traced::by_body};

constexpr MethodSpec convert_to_feature_space_method{"_convert_to_feature_space",
                                                     params(image_param),
                                                     &convert_to_feature_space,
                                                     "Convert image to appropriate color space for clustering.",
                                                     nullptr,
                                                     Traced::by_body};

constexpr MethodSpec apply_mask_method{"_apply_mask", params(image_param, Param{"mask", Check::ndarray_or_none}),
                                       &apply_mask,   "Apply mask to limit color extraction to specific areas.",
                                       nullptr,       Traced::by_body};

constexpr MethodSpec extract_pixels_method{"_extract_pixels", params(image_param, optional_mask),
                                           &extract_pixels,   "Extract valid pixels for clustering.",
                                           nullptr,           Traced::by_body};

constexpr MethodSpec cluster_colors_kmeans_method{
    "_cluster_colors_kmeans", params(Param{"pixels", Check::ndarray_or_none}), &clustering::cluster_colors_kmeans,
    "Extract colors using K-means clustering."};

constexpr MethodSpec fast_cluster_colors_kmeans_method{"_cluster_colors_kmeans",
                                                       params(Param{"pixels", Check::ndarray_or_none}),
                                                       &clustering::cluster_colors_kmeans_native,
                                                       "Extract colors using K-means clustering.",
                                                       nullptr,
                                                       Traced::by_wrapper,
                                                       "FastColorExtractor"};

constexpr MethodSpec library_cluster_colors_kmeans_method{"_cluster_colors_kmeans",
                                                          params(Param{"pixels", Check::ndarray_or_none}),
                                                          &clustering::cluster_colors_kmeans,
                                                          "Extract colors using K-means clustering.",
                                                          nullptr,
                                                          Traced::by_wrapper,
                                                          "LibraryColorExtractor"};

constexpr MethodSpec cluster_colors_dbscan_method{
    "_cluster_colors_dbscan", params(Param{"pixels", Check::ndarray_or_none}), &clustering::cluster_colors_dbscan,
    "Extract colors using DBSCAN clustering."};

constexpr MethodSpec calculate_percentages_method{"_calculate_percentages",
                                                  params(Param{"labels", Check::ndarray_or_none}),
                                                  &calculate_percentages,
                                                  "Calculate color percentages.",
                                                  nullptr,
                                                  Traced::by_body};

constexpr MethodSpec extract_colors_method{
    "extract_colors", params(Param{"image"}, optional_mask), &extraction::extract_colors,
    "\n"
    "        Extract dominant colors from image.\n"
    "        \n"
    "        Args:\n"
    "            image: Path to image file or numpy array\n"
    "            mask: Optional mask image (white areas will be analyzed)\n"
    "            \n"
    "        Returns:\n"
    "            List of dictionaries with color info: {'color': (R,G,B), 'percentage': float}\n"
    "        "};

constexpr MethodSpec visualize_colors_method{
    "visualize_colors",
    params(Param{"colors", Check::exact_list, {}, Convert::none, "List[dict]"},
           Param{"save_path", Check::exact_str_or_none, Default::none(), Convert::none, "Optional[str]"}),
    &chart::visualize_colors, "Visualize extracted colors with percentages."};

constexpr MethodSpec color_distance_lab_method{
    "_color_distance_lab",
    params(Param{"color1", Check::ndarray_or_none}, Param{"color2", Check::ndarray_or_none}),
    &color_distance_lab,
    "Calculate perceptual distance between two colors in LAB space.",
    nullptr,
    Traced::by_body};

constexpr MethodSpec find_closest_color_method{
    "_find_closest_color",
    params(Param{"target_color", Check::exact_tuple, {}, Convert::none, "Tuple[int, int, int]"},
           Param{"image_colors", Check::exact_list, {}, Convert::none, "List[dict]"}),
    &matching::find_closest_color, "Find the closest color in image to target color.", "Tuple[dict, float]"};

constexpr MethodSpec analyze_color_similarity_method{
    "analyze_color_similarity",
    params(Param{"image"}, target_colors_param, optional_mask,
           Param{"similarity_threshold", Check::any, Default::of(50.0), Convert::to_double, "float"}),
    &matching::analyze_color_similarity,
    "\n"
    "        Analyze how much each target color appears in the image.\n"
    "        \n"
    "        Args:\n"
    "            image: Path to image file or numpy array\n"
    "            target_colors: Dictionary of color names and RGB values\n"
    "                          e.g., {'red': (255, 0, 0), 'white': (255, 255, 255)}\n"
    "            mask: Optional mask image\n"
    "            similarity_threshold: Maximum LAB distance to consider colors similar\n"
    "            \n"
    "        Returns:\n"
    "            Dictionary with color analysis results\n"
    "        ",
    "Dict[str, dict]"};

constexpr MethodSpec find_color_matches_method{
    "find_color_matches", params(Param{"image"}, target_colors_param, optional_mask), &matching::find_color_matches,
    "\n"
    "        Find how much each target color appears in the image with detailed analysis.\n"
    "        \n"
    "        Args:\n"
    "            image: Path to image file or numpy array\n"
    "            target_colors: Dictionary of color names and RGB values\n"
    "            mask: Optional mask image\n"
    "            \n"
    "        Returns:\n"
    "            Dictionary with detailed color matching results\n"
    "        ",
    "Dict[str, dict]"};

constexpr MethodSpec get_params_method{
    "get_params", params(), &get_params,
    "The extractor's settings as the constructor's keyword arguments:\n"
    "{'n_colors': int, 'algorithm': str or None, 'preprocessing': bool, 'lab_space': bool}.\n"
    "type(extractor)(**extractor.get_params()) makes an extractor with the same settings.",
    "dict"};

constexpr MethodSpec reduce_cython_method{"__reduce_cython__", params(), &pickling::reduce};

constexpr MethodSpec setstate_cython_method{"__setstate_cython__", params(Param{"__pyx_state"}), &pickling::set_state};

constexpr MethodSpec unpickle_function{"__pyx_unpickle_ColorExtractor",
                                       params(Param{"__pyx_type"}, Param{"__pyx_checksum"}, Param{"__pyx_state"}),
                                       &pickling::unpickle};

constexpr MethodSpec opencv_takes_path_function{
    "_opencv_takes_path", params(Param{"path", Check::any, {}, Convert::none, "str"}),
    &preparation::opencv_takes_path_function,
    "Whether OpenCV's imread may be given the path: False for a name without a UTF-8 form, with a NUL,\n"
    "or of a pipe, socket or device, which the extractor reads as files that cannot be read.",
    "bool"};

// Library globals not bound yet (interop/globals.hpp) are bound when first named, through these.
constexpr MethodSpec module_getattr_function{
    "__getattr__", params(Param{"name", Check::any, {}, Convert::none, "str"}), &library_global_attribute,
    "A library global (KMeans, cv2, plt, ...) imported and bound on its first use; AttributeError for\n"
    "any other name.",
    "object"};

constexpr MethodSpec module_dir_function{"__dir__", params(), &module_names,
                                         "The module's names, the library globals not bound yet among them.",
                                         "List[str]"};

// The module's private diagnostics of memory admission.
Ref available_memory(PyObject* root) {
    Py_ssize_t length = 0;
    const char* text = check_argument_type(root, &PyUnicode_Type, false, false, "root") < 0
                           ? nullptr
                           : PyUnicode_AsUTF8AndSize(root, &length);
    if (!text) return Ref();
    if (std::strlen(text) != static_cast<std::size_t>(length)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return Ref();
    }
    const kernels::AvailableMemory available = kernels::available_memory(text);
    return Ref::steal(Py_BuildValue("(ds)", available.bytes, available.bound));
}

Ref peak_estimate(PyObject* path, double rows, int n_colors) {
    namespace admission = preparation::admission;
    if (check_argument_type(path, &PyUnicode_Type, false, false, "path") < 0) return Ref();
    double peak = -1;
    if (PyUnicode_CompareWithASCIIString(path, "kmeans") == 0) peak = admission::library_kmeans_peak(rows, n_colors);
    else if (PyUnicode_CompareWithASCIIString(path, "native kmeans") == 0) peak = admission::native_kmeans_peak(rows);
    else if (PyUnicode_CompareWithASCIIString(path, "dbscan") == 0) peak = admission::dbscan_peak(rows, true);
    else if (PyUnicode_CompareWithASCIIString(path, "library dbscan") == 0) peak = admission::dbscan_peak(rows, false);
    else if (PyUnicode_CompareWithASCIIString(path, "match report") == 0)
        peak = admission::match_report_peak(rows, false);
    else if (PyUnicode_CompareWithASCIIString(path, "literal match report") == 0)
        peak = admission::match_report_peak(rows, true);
    if (peak < 0) {
        PyErr_Format(PyExc_ValueError, "no estimate for %U", path);
        return Ref();
    }
    return Ref::steal(PyFloat_FromDouble(peak));
}

constexpr MethodSpec available_memory_function{
    "_available_memory", params(Param{"root", Check::any, Default::of(&name<"">), Convert::none, "str"}),
    &available_memory, "(bytes, bound): what the process can still allocate, and which limit says so.",
    "Tuple[float, str]"};

constexpr MethodSpec peak_estimate_function{
    "_peak_estimate",
    params(Param{"path", Check::any, {}, Convert::none, "str"},
           Param{"rows", Check::any, {}, Convert::to_double, "float"},
           Param{"n_colors", Check::any, Default::of(5.0), Convert::int32, "int"}),
    &peak_estimate, "Bytes a path is estimated to need at its peak for `rows` pixel rows.", "float"};

constexpr MethodSpec colour_distribution_function{
    "_colour_distribution",
    params(Param{"image", Check::any, {}, Convert::none, "np.ndarray"},
           Param{"mask", Check::any, Default::none(), Convert::none, "Optional[np.ndarray]"}),
    &colour_distribution,
    "The colour distribution of an image's analysed pixels, as records a reader can estimate colour\n"
    "shares from without the image.\n"
    "\n"
    "image: uint8 array, height x width x 3, B, G, R (as cv2.imread gives it). mask: None or a uint8\n"
    "array, height x width; pixels whose mask value is above 128 are analysed, every pixel without one.\n"
    "Anything else raises TypeError or ValueError.\n"
    "\n"
    "The distinct colours are split greedily into at most 180 groups (leaves): the leaf of largest\n"
    "sqrt(pixels * SSE) in the warped space W is split along its axis of largest variance, at the mean.\n"
    "W = (L*, r a*/C, r b*/C) with C = hypot(a*, b*), r = log1p(0.045 C) / 0.045 ((L*, 0, 0) for C = 0),\n"
    "a space where Euclidean distance roughly follows CIEDE2000. CIELAB is lumvarde_quorle.cielab's.\n"
    "\n"
    "Returns bytes of N records (0 <= N <= 180) of 11 bytes, little-endian, packed, the numpy dtype\n"
    "[('lab', '<f2', 3), ('weight', '<u2'), ('spread', 'u1', 3)]:\n"
    "  lab: the leaf's pixel-weighted mean CIELAB colour (L*, a*, b*), float16 rounded to nearest;\n"
    "  weight: the leaf's share of the analysed pixels times 65535, rounded to nearest; leaves whose\n"
    "    share rounds to 0 are dropped, so the weights sum to 65535 within N;\n"
    "  spread: per W axis, the leaf's pixel-weighted standard deviation sigma as a code c: 0 for\n"
    "    sigma == 0 (one distinct colour), else clamp(round((log2(sigma) + 5) * 16), 1, 255), so that\n"
    "    sigma = 2 ** (c / 16 - 5).\n"
    "Records come by weight, largest first, then by L*, a*, b* ascending. No analysed pixel: b''.\n"
    "The result depends on the pixels' colours alone, not on the array's layout.",
    "bytes"};

// The colour index behind the catalogue's colour search and similar (lumvarde_quorle/catalogue/colours.py).
constexpr Param any_array(const char* name, const char* annotation = "np.ndarray") {
    return Param{name, Check::any, {}, Convert::none, annotation};
}
constexpr Param threads_param{"threads", Check::any, Default::of(0.0), Convert::int32, "int"};

constexpr MethodSpec colour_index_function{
    "_colour_index",
    params(any_array("records"), any_array("counts"), Param{"tail_ratio", Check::any, {}, Convert::to_double, "float"}),
    &colour_index::build,
    "(bucket_starts, rows): the colour index of distribution records (11 bytes each), counts[i] of them\n"
    "image i's, for records that count within tail_ratio times their widest spread beyond the tolerance.",
    "Tuple[np.ndarray, np.ndarray]"};

constexpr MethodSpec colour_shares_function{
    "_colour_shares",
    params(any_array("bucket_starts"), any_array("rows"), Param{"images", Check::any, {}, Convert::none, "int"},
           any_array("query"), Param{"tolerance", Check::any, {}, Convert::to_double, "float"},
           Param{"tail", Check::any, {}, Convert::to_double, "float"},
           Param{"ratio", Check::any, {}, Convert::to_double, "float"}, threads_param),
    &colour_index::shares,
    "(images, shares): the images with pixels within CIEDE2000 tolerance of the query colour (L*, a*, b*)\n"
    "and the percent of each, from a colour index; the same for any number of threads (0: every processor).",
    "Tuple[np.ndarray, np.ndarray]"};

constexpr MethodSpec colour_postings_function{
    "_colour_postings",
    params(any_array("records"), any_array("counts"), Param{"tail_ratio", Check::any, {}, Convert::to_double, "float"}),
    &colour_index::postings,
    "(image_rows, posting_buckets, posting_starts, posting_entries): the index the threshold search reads:\n"
    "each image's records in bucket order, each followed by its bucket (u32); the buckets holding records;\n"
    "per block of 65536 images and such bucket, the images with records in it and their summed weight.",
    "Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]"};

constexpr MethodSpec colour_search_function{
    "_colour_search",
    params(any_array("image_starts"), any_array("image_rows"), any_array("posting_buckets"),
           any_array("posting_starts"), any_array("posting_entries"), any_array("image_weights"), any_array("ids"),
           any_array("keep"), any_array("queries"), Param{"tolerance", Check::any, {}, Convert::to_double, "float"},
           Param{"min_share", Check::any, {}, Convert::to_double, "float"},
           Param{"limit", Check::any, {}, Convert::none, "int"},
           Param{"tail", Check::any, {}, Convert::to_double, "float"},
           Param{"ratio", Check::any, {}, Convert::to_double, "float"}),
    &colour_index::search,
    "(images, shares): the images of keep in which every query colour (rows of L*, a*, b*) covers at least\n"
    "min_share percent within CIEDE2000 tolerance, the first limit by the least share, the sum, then ids,\n"
    "in no order; shares[k, c]: image k's percent of colour c, as _colour_shares gives it.",
    "Tuple[np.ndarray, np.ndarray]"};

constexpr MethodSpec signature_shared_function{
    "_signature_shared",
    params(any_array("column_starts"), any_array("images"), any_array("weights"),
           Param{"image_count", Check::any, {}, Convert::none, "int"}, any_array("query"), threads_param),
    &colour_index::signature_shared,
    "Per image, the intersection of its signature (columns of (image, weight / 65535) by vertex) with the\n"
    "query's dense vector of vertex weights.",
    "np.ndarray"};

// The module-level functions, put into the module globals.
constexpr const FunctionDef* module_functions[] = {
    &function_def<unpickle_function>,
    &function_def<module_getattr_function>,
    &function_def<module_dir_function>,
    &function_def<opencv_takes_path_function>,
    &function_def<available_memory_function>,
    &function_def<peak_estimate_function>,
    &function_def<colour_distribution_function>,

    &function_def<colour_index_function>,
    &function_def<colour_shares_function>,
    &function_def<colour_postings_function>,
    &function_def<colour_search_function>,
    &function_def<signature_shared_function>,
};

// In the order in which they are put into the class dictionary.
constexpr const FunctionDef* class_methods[] = {
    &function_def<preprocess_image_method>,
    &function_def<convert_to_feature_space_method>,
    &function_def<apply_mask_method>,
    &function_def<extract_pixels_method>,
    &function_def<cluster_colors_kmeans_method>,
    &function_def<cluster_colors_dbscan_method>,
    &function_def<calculate_percentages_method>,
    &function_def<extract_colors_method>,
    &function_def<visualize_colors_method>,
    &function_def<color_distance_lab_method>,
    &function_def<find_closest_color_method>,
    &function_def<analyze_color_similarity_method>,
    &function_def<find_color_matches_method>,
    &function_def<get_params_method>,
    &function_def<reduce_cython_method>,
    &function_def<setstate_cython_method>,
};

constexpr const FunctionDef* fast_class_methods[] = {&function_def<fast_cluster_colors_kmeans_method>};
constexpr const FunctionDef* library_class_methods[] = {&function_def<library_cluster_colors_kmeans_method>};

PyCFunction fastcall(FunctionImpl impl) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl)); }

// The interpreter-visible method of an overridable stage: an instance whose lookup finds it runs the
// module's own body.
const FunctionDef& stage_method(Stage stage) {
    switch (stage) {
        case Stage::preprocess_image: return function_def<preprocess_image_method>;
        case Stage::convert_to_feature_space: return function_def<convert_to_feature_space_method>;
        case Stage::apply_mask: return function_def<apply_mask_method>;
        case Stage::extract_pixels: return function_def<extract_pixels_method>;
        case Stage::calculate_percentages: return function_def<calculate_percentages_method>;
        case Stage::color_distance_lab: break;
    }
    return function_def<color_distance_lab_method>;
}

}  // namespace

int tell_model_methods() {
    model::know_definitions(&definition_of);
    for (int stage = 0; stage < stage_count; ++stage)
        model::know_stage_method(Stage(stage), &stage_method(Stage(stage)));
    struct KmeansMethod {
        const FunctionDef* def;
        PyTypeObject* owner;
        bool native;
    };
    const KmeansMethod kmeans_methods[] = {
        {&function_def<cluster_colors_kmeans_method>, &ColorExtractorType, true},
        {&function_def<fast_cluster_colors_kmeans_method>, &FastColorExtractorType, true},
        {&function_def<library_cluster_colors_kmeans_method>, &LibraryColorExtractorType, false},
    };
    for (const KmeansMethod& method : kmeans_methods)
        if (model::know_kmeans_method(method.def, method.owner, method.native) < 0) return -1;
    return 0;
}

PyMethodDef extractor_static_methods[] = {
    {"__reduce_cython__", fastcall(&spec_entry<reduce_cython_method>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", fastcall(&spec_entry<setstate_cython_method>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int install_methods(PyTypeObject* type, std::span<const FunctionDef* const> methods) {
    Ref module = Ref::steal(PyUnicode_FromString(module_name));
    if (!module) return -1;
    const char* class_name = _PyType_Name(type);  // tp_name after the last dot, without a new object
    for (const FunctionDef* def : methods) {
        Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, def->name));
        Ref function = qualname ? new_function(def, qualname.get(), module.get()) : Ref();
        if (!function || PyDict_SetItemString(type->tp_dict, def->name, function.get()) < 0) return -1;
        PyType_Modified(type);
    }
    return 0;
}

int install_methods(PyTypeObject* type) { return install_methods(type, class_methods); }

std::span<const FunctionDef* const> fast_extractor_methods() { return fast_class_methods; }

std::span<const FunctionDef* const> library_extractor_methods() { return library_class_methods; }

int install_module_functions(PyObject* module) {
    Ref module_name_object = Ref::steal(PyUnicode_FromString(module_name));
    if (!module_name_object) return -1;
    for (const FunctionDef* def : module_functions) {
        Ref qualname = Ref::steal(PyUnicode_FromString(def->name));
        Ref function = qualname ? new_function(def, qualname.get(), module_name_object.get()) : Ref();
        if (!function || PyDict_SetItemString(PyModule_GetDict(module), def->name, function.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace lq
