// OpenCV colour conversions, looked up through the module global `cv2` at the moment of use, in the
// order `cv2.cvtColor(image, cv2.CODE)` evaluates. LAB rows are converted back to R, G, B in two ways
// that give the same rows: one one-pixel image at a time, as written, or every distinct value at once.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "interop/ref.hpp"
#include "kernels/distinct_rows.hpp"

namespace lq::preparation {

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
// pixel of its row, as in the one-pixel images). The distinct values and their R, G, B go to *distinct.
Ref lab_rows_to_rgb_batched(PyObject* rows, ConvertedRows* distinct);

// One cv2.cvtColor(image, cv2.<code>) call on the triples laid out as an N x 1 x 3 uint8 image; the
// converted triples in *out. 0, or -1 with an exception set.
int convert_triples(const std::vector<std::uint8_t>& triples, PyObject* code_name, std::vector<std::uint8_t>* out);

}  // namespace lq::preparation
