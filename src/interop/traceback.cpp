#include "interop/traceback.hpp"

#include <string>

#include <frameobject.h>

#include "interop/globals.hpp"

namespace lq {
namespace {

constexpr const char* source_file = "lumvarde_quorle/color_extractor";

}  // namespace

// An empty code object and a frame over it (PyCode_NewEmpty and PyFrame_New, CPython's non-limited API)
// are what PyTraceBack_Here needs to add an entry: the interpreter shows native functions in a traceback
// only through a frame of their own.
void add_traceback(const char* function_name) {
    if (!PyErr_Occurred()) return;
    // Building the code and frame objects must not see the pending exception.
    PyObject* pending = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(source_file, function_name, 0);
    PyFrameObject* frame = nullptr;
    if (code) {
        PyObject* globals = process_state().globals;
        Ref scratch_globals;
        if (!globals) {
            scratch_globals = Ref::steal(PyDict_New());
            globals = scratch_globals.get();
        }
        if (globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    }
    // A failure while decorating the traceback must not replace the real error.
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(reinterpret_cast<PyObject*>(frame));
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

void add_method_traceback(const char* method, const char* owner) {
    const std::string full_name = std::string(LQ_MODULE_NAME ".") + owner + "." + method;
    add_traceback(full_name.c_str());
}

void add_function_traceback(const char* function) {
    const std::string full_name = std::string(LQ_MODULE_NAME ".") + function;
    add_traceback(full_name.c_str());
}

}  // namespace lq
