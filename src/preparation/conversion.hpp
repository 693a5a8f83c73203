// OpenCV colour conversions, looked up through the module global `cv2` at the moment of use, in the
// order `cv2.cvtColor(image, cv2.CODE)` evaluates. LAB rows are converted back to R, G, B in two ways
// that give the same rows: one one-pixel image at a time, as written, or every distinct value at once.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "interop/globals.hpp"
#include "interop/ref.hpp"
#include "kernels/distinct_rows.hpp"

namespace lq::preparation {

// The array to hand OpenCV in place of `argument`. OpenCV copies an array whose layout it cannot use
// as it is, and casts 64-bit integers to 32 bits, through the array's own type and without checking
// the result: an ndarray subclass whose __array_finalize__ raises, or a copy too large for memory,
// crashes the process. Such an argument is given as a plain C-contiguous array made here (32-bit for
// those integers, values as OpenCV's cast gives them), where a failure raises. Anything else, and every
// argument of a stand-in bound as `cv2`, passes unchanged. Null with an exception set on failure.
Ref opencv_array(Arg argument);

// cv2.cvtColor(image, cv2.<code_name>)
Ref cvt_color(Arg image, PyObject* code_name);

// cv2.cvtColor(np.uint8([[color]]), cv2.<code_name>)[0][0], the globals looked up in the order that
// expression evaluates them.
Ref convert_one_pixel(PyObject* color, PyObject* code_name);

// np.array of [cv2.cvtColor(np.uint8([[row]]), cv2.COLOR_LAB2RGB)[0][0] for row in rows]: every LAB row
// converted as its own one-pixel image (np.uint8 built before cv2 is looked up), in iteration order.
Ref lab_rows_to_rgb_one_by_one(PyObject* rows);

// The distinct values of some byte rows and what a conversion made of each.
struct ConvertedRows {
    std::unique_ptr<kernels::DistinctRows> table;
    std::vector<std::uint8_t> converted;  // three bytes per distinct value, in the table's order
};

// The same rows as lab_rows_to_rgb_one_by_one for rows that passed native_rows_apply: each distinct
// LAB value converted once, all in one cv2.cvtColor call on an N x 1 x 3 image (each value the only
// pixel of its row, as in the one-pixel images). The distinct values and their R, G, B go to *distinct;
// when the batched call gives no usable image, the rows are converted one by one and *distinct is left
// empty.
Ref lab_rows_to_rgb_batched(PyObject* rows, ConvertedRows* distinct);

// One cv2.cvtColor(image, cv2.<code>) call on the triples laid out as an N x 1 x 3 uint8 image: yes with
// the converted triples in *out; no when the call returned something else than such an image (a
// cvtColor replaced on the module), for the caller to take the literal path.
Applies convert_triples(const std::vector<std::uint8_t>& triples, PyObject* code_name, std::vector<std::uint8_t>* out);

}  // namespace lq::preparation
