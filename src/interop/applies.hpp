// The answer to a yes-or-no question whose asking can fail: whether a fast path may stand in for the
// library calls, whether a global is still the object its import bound, whether a stage runs the
// module's own body. Asking may run interpreter code (an attribute lookup, an override, a probe of a
// library), and that code may raise, so a bool cannot carry the answer:
//   yes, no  the question was answered; no exception is set.
//   error    it could not be: an exception is set, and the caller stops and returns its own failure
//            value so that the exception reaches the interpreter.
// The values are the C API's -1 / 0 / 1. A question that cannot fail returns a plain bool.
#pragma once

namespace lq {

enum class Applies { error = -1, no = 0, yes = 1 };

}  // namespace lq
