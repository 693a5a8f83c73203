// Reading images and masks from paths, the preparation both image operations share, and the gate of
// the native fast paths.
#include <string>

#include <sys/stat.h>

#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/kernel.hpp"
#include "interop/numpy_api.hpp"
#include "model/stages.hpp"
#include "preparation/admission.hpp"
#include "preparation/preparation.hpp"

namespace lq::preparation {

// OpenCV converts a path to UTF-8 without checking the result: a str with lone surrogates (how Python
// spells a file name whose bytes are not UTF-8) has no UTF-8 form, and OpenCV crashes on it. A NUL ends
// the name OpenCV opens, so "a.png\0.txt" would read a.png. A named pipe, socket or device is no image
// file, and reading one can wait for ever (a pipe without a writer, a terminal).
Applies opencv_takes_path(PyObject* path) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size);
    if (!utf8) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Applies::error;
        PyErr_Clear();
        return Applies::no;
    }
    if (std::char_traits<char>::find(utf8, static_cast<std::size_t>(size), '\0')) return Applies::no;
#if defined(__unix__) || defined(__APPLE__)
    struct stat status {};
    if (stat(utf8, &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) return Applies::no;
#endif
    return Applies::yes;
}

Ref opencv_takes_path_function(PyObject* path) {
    if (!PyUnicode_Check(path)) {
        raise_unexpected_type("str", path);
        return Ref();
    }
    const Applies takes = opencv_takes_path(path);
    if (takes == Applies::error) return Ref();
    return Ref::borrow(takes == Applies::yes ? Py_True : Py_False);
}

namespace {

// Whether imread can be given the path: a path OpenCV must not be given reads as a file that cannot be
// read, None. A stand-in bound as `cv2` takes any path.
Applies imread_takes(PyObject* path) {
    const Applies opencv = global_is_as_imported(name<"cv2">());
    if (opencv != Applies::yes) return opencv == Applies::error ? Applies::error : Applies::yes;
    return opencv_takes_path(path);
}

// lumvarde_quorle.budget, where the pixel budget is read from files' headers (by Pillow) and enforced.
Ref budget_module() { return Ref::steal(PyImport_ImportModule("lumvarde_quorle.budget")); }

// What the header of the file says before it is decoded: its pixel count (0 when Pillow cannot read
// the header) and the pixel budget in force (None for none). Raises ImageTooLargeError for a file
// above the budget. 0, or -1 with an exception set.
int before_decoding(PyObject* path, double* pixels, Ref* limit) {
    Ref budget = budget_module();
    Ref setting = budget ? module_global<"max_image_pixels">() : Ref();
    Ref checked = setting ? call(attr(budget, name<"before_decoding">()), {path, setting}) : Ref();
    Ref count;
    if (unpack_pair(checked.get(), &count, limit) < 0) return -1;
    *pixels = PyFloat_AsDouble(count.get());
    return *pixels == -1.0 && PyErr_Occurred() ? -1 : 0;
}

// For a file whose header Pillow could not read: the budget applied to the decoded image, before it
// is analysed. 0, or -1 with an exception set.
int within_limit(PyObject* path, PyObject* loaded, PyObject* limit) {
    if (limit == Py_None || !PyArray_Check(loaded)) return 0;
    auto* array = as_array(loaded);
    if (PyArray_NDIM(array) < 2) return 0;
    Ref height = Ref::steal(PyLong_FromSsize_t(PyArray_DIM(array, 0)));
    Ref width = height ? Ref::steal(PyLong_FromSsize_t(PyArray_DIM(array, 1))) : Ref();
    Ref budget = width ? budget_module() : Ref();
    return call(attr(budget, name<"check_image_size">()), {path, width, height, limit}) ? 0 : -1;
}

// cv2.imread(path) with the path as its only argument, so files are read as 3-channel B, G, R;
// None from OpenCV (an unreadable file) becomes ValueError "<failure><path>". A path OpenCV cannot
// take ends the same way, at the same step. Before decoding, the file's header is held to the pixel
// budget and its pixel count to `admit`, which may refuse the memory the operation would need.
template <typename Admit>
Ref load(PyObject* source, const char* failure, const Admit& admit) {
    if (!PyUnicode_Check(source)) return Ref::borrow(source);
    Ref imread = attr(module_global<"cv2">(), name<"imread">());
    if (!imread) return Ref();
    const Applies readable = imread_takes(source);
    if (readable == Applies::error) return Ref();
    double pixels = 0;
    Ref limit;
    if (readable == Applies::yes && (before_decoding(source, &pixels, &limit) < 0 || (pixels > 0 && admit(pixels) < 0)))
        return Ref();
    Ref loaded = readable == Applies::yes ? call(imread, {source}) : Ref::none();
    if (loaded && !loaded.is_none() && pixels == 0 && within_limit(source, loaded.get(), limit.get()) < 0) return Ref();
    if (!loaded || !loaded.is_none()) return loaded;
    Ref message = Ref::steal(PyUnicode_FromFormat("%s%U", failure, source));
    if (message) PyErr_SetObject(process_state().ValueError.get(), message.get());
    return Ref();
}

// The pixel count of an image given as an array, -1 for anything else.
double array_pixels(PyObject* image) {
    if (!PyArray_Check(image)) return -1;
    auto* array = as_array(image);
    if (PyArray_NDIM(array) < 2) return -1;
    return static_cast<double>(PyArray_DIM(array, 0)) * static_cast<double>(PyArray_DIM(array, 1));
}

}  // namespace

int prepared_feature_image(ColorExtractor* self, PyObject* image_argument, PyObject* mask_argument, Ref* feature_image,
                           Ref* loaded_mask, admission::Analysis analysis) {
    const bool masked = mask_argument != Py_None;
    bool admitted = false;
    auto admit = [&](double pixels, bool decoded) {
        admitted = true;
        return admission::admit("The analysis", pixels,
                                admission::operation_peak(self, analysis, pixels, masked, decoded));
    };
    Ref image = load(image_argument, "Could not load image from ", [&](double pixels) { return admit(pixels, false); });
    if (!image) return -1;
    // A mask is decoded as three channels, then reduced to grey.
    *loaded_mask = load(mask_argument, "Could not load mask from ",
                        [](double pixels) { return admission::admit("Reading the mask", pixels, 4 * pixels); });
    if (!*loaded_mask || check_instance_or_none(image.get(), ndarray_type()) < 0) return -1;
    // An array given directly, or decoded from a file whose header told nothing, is checked once its
    // type is known, after a mask path's own failures.
    const double given = admitted ? -1 : array_pixels(image.get());
    if (given > 0 && admit(given, true) < 0) return -1;
    Ref processed = stage::preprocess_image(self, image.get());
    if (!processed) return -1;
    *feature_image = stage::convert_to_feature_space(self, processed.get());
    return *feature_image ? 0 : -1;
}

Ref prepared_pixels(ColorExtractor* self, PyObject* image, PyObject* mask, admission::Analysis analysis) {
    Ref feature_image, loaded_mask;
    if (prepared_feature_image(self, image, mask, &feature_image, &loaded_mask, analysis) < 0) return Ref();
    return stage::extract_pixels(self, feature_image.get(), loaded_mask.get());
}

int install_pixel_budget(PyObject* module) { return PyModule_AddObjectRef(module, "max_image_pixels", Py_None); }

Applies native_rows_apply(PyObject* rows, std::initializer_list<PyObject*> libraries) {
    if (!PyArray_CheckExact(rows)) return Applies::no;
    auto* array = as_array(rows);
    if (PyArray_TYPE(array) != NPY_UBYTE || PyArray_NDIM(array) != 2 || PyArray_DIM(array, 1) != 3) return Applies::no;
    for (PyObject* library : libraries) {
        const Applies same = global_is_as_imported(library);
        if (same != Applies::yes) return same;
    }
    return Applies::yes;
}

int copy_rows(PyObject* rows, PrivateRows* out) {
    auto* array = as_array(rows);
    const kernels::ByteRows given{static_cast<const std::uint8_t*>(PyArray_DATA(array)), PyArray_DIM(array, 0),
                                  PyArray_STRIDE(array, 0), PyArray_STRIDE(array, 1)};
    return run_kernel([&](kernels::Stop&) {
        out->count = given.count;
        out->bytes.resize(3 * static_cast<std::size_t>(given.count));
        std::uint8_t* copy = out->bytes.data();
        for (std::ptrdiff_t row = 0; row < given.count; ++row, copy += 3) {
            const std::uint8_t* pixel = given.row(row);
            copy[0] = pixel[0];
            copy[1] = pixel[given.channel_stride];
            copy[2] = pixel[2 * given.channel_stride];
        }
    });
}

}  // namespace lq::preparation
