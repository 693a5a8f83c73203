// Traceback entries for failures inside the module, named after the method (or the initialisation)
// in which they happened, so that a Python traceback shows where in the extension an error passed.
#pragma once

#include "interop/ref.hpp"

namespace lq {

// Adds the entry "<function_name>" to the traceback of the pending exception.
void add_traceback(const char* function_name);

// Adds the entry "lumvarde_quorle.color_extractor_cy.<owner>.<method>".
void add_method_traceback(const char* method, const char* owner = "ColorExtractor");

// Adds the entry "lumvarde_quorle.color_extractor_cy.<function>", for module-level functions.
void add_function_traceback(const char* function);

// Passes `result` through, adding the method's traceback entry when it is null (a failure).
inline Ref traced(Ref result, const char* method) {
    if (!result) add_method_traceback(method);
    return result;
}

}  // namespace lq
