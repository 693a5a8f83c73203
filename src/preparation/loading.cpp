// Reading images and masks from paths, the preparation both image operations share, and the gate of
// the native fast paths.
#include <string>

#include <sys/stat.h>

#include "frame/stages.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/kernel.hpp"
#include "interop/numpy_api.hpp"
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

// cv2.imread(path) with the path as its only argument, so files are read as 3-channel B, G, R;
// None from OpenCV (an unreadable file) becomes ValueError "<failure><path>". A path OpenCV cannot
// take ends the same way, at the same step.
Ref load(PyObject* source, const char* failure) {
    if (!PyUnicode_Check(source)) return Ref::borrow(source);
    Ref imread = attr(module_global<"cv2">(), name<"imread">());
    if (!imread) return Ref();
    const Applies readable = imread_takes(source);
    if (readable == Applies::error) return Ref();
    Ref loaded = readable == Applies::yes ? call(imread, {source}) : Ref::none();
    if (!loaded || !loaded.is_none()) return loaded;
    Ref message = Ref::steal(PyUnicode_FromFormat("%s%U", failure, source));
    if (message) PyErr_SetObject(process_state().ValueError.get(), message.get());
    return Ref();
}

}  // namespace

Ref load_image(PyObject* image) { return load(image, "Could not load image from "); }

Ref load_mask(PyObject* mask) { return load(mask, "Could not load mask from "); }

int prepared_feature_image(ColorExtractor* self, PyObject* image_argument, PyObject* mask_argument,
                           Ref* feature_image, Ref* loaded_mask) {
    Ref image = load_image(image_argument);
    if (!image) return -1;
    *loaded_mask = load_mask(mask_argument);
    if (!*loaded_mask || check_instance_or_none(image.get(), ndarray_type()) < 0) return -1;
    Ref processed = stage::preprocess_image(self, image.get());
    if (!processed) return -1;
    *feature_image = stage::convert_to_feature_space(self, processed.get());
    return *feature_image ? 0 : -1;
}

Ref prepared_pixels(ColorExtractor* self, PyObject* image, PyObject* mask) {
    Ref feature_image, loaded_mask;
    if (prepared_feature_image(self, image, mask, &feature_image, &loaded_mask) < 0) return Ref();
    return stage::extract_pixels(self, feature_image.get(), loaded_mask.get());
}

Applies native_rows_apply(PyObject* rows, std::initializer_list<PyObject*> libraries) {
    if (!PyArray_CheckExact(rows)) return Applies::no;
    auto* array = as_array(rows);
    if (PyArray_TYPE(array) != NPY_UBYTE || PyArray_NDIM(array) != 2 || PyArray_DIM(array, 1) != 3)
        return Applies::no;
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
