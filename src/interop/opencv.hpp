// OpenCV calls that several subsystems make, looked up through the module global `cv2` at the moment
// of use, in the order `cv2.cvtColor(image, cv2.CODE)` evaluates.
#pragma once

#include "interop/ref.hpp"

namespace lq {

// The array to hand OpenCV in place of `argument`. OpenCV copies an array whose layout it cannot use
// as it is, and casts 64-bit integers to 32 bits, through the array's own type and without checking
// the result: an ndarray subclass whose __array_finalize__ raises, or a copy too large for memory,
// crashes the process. Such an argument is given as a plain C-contiguous array made here (32-bit for
// those integers, values as OpenCV's cast gives them), where a failure raises. Anything else, and every
// argument of a stand-in bound as `cv2`, passes unchanged. Null with an exception set on failure.
Ref opencv_array(Arg argument);

// cv2.cvtColor(image, cv2.<code_name>)
Ref cvt_color(Arg image, PyObject* code_name);

// np.uint8([[color]]): one colour as a 1 x 1 x 3 image of 8-bit values.
Ref one_pixel_image(PyObject* color);

// image[0][0]: the single pixel of a one-pixel image.
Ref first_pixel(Arg image);

// cv2.cvtColor(np.uint8([[color]]), cv2.<code_name>)[0][0], the globals looked up in the order that
// expression evaluates them.
Ref convert_one_pixel(PyObject* color, PyObject* code_name);

// np.array of [cv2.cvtColor(np.uint8([[row]]), cv2.COLOR_LAB2RGB)[0][0] for row in rows]: every LAB row
// converted as its own one-pixel image (np.uint8 built before cv2 is looked up), in iteration order.
Ref lab_rows_to_rgb_one_by_one(PyObject* rows);

}  // namespace lq
