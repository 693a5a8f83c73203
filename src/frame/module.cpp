// Module initialisation in two phases. The module exists at most once per process and only in the
// interpreter that first loaded it; its state is process-wide (interop/state.hpp).
#include <cstdlib>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "frame/extractor_type.hpp"
#include "frame/function_object.hpp"
#include "frame/initialisation.hpp"
#include "frame/methods.hpp"
#include "interop/constants.hpp"
#include "interop/globals.hpp"
#include "interop/ref.hpp"
#include "interop/state.hpp"
#include "interop/traceback.hpp"
#include "preparation/preparation.hpp"

namespace lq {
namespace {

// -- create step --------------------------------------------------------------------------------

int check_interpreter() {
    std::int64_t& first_interpreter = process_state().first_interpreter;
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return -1;
    if (first_interpreter == -1) {
        first_interpreter = current;
        return 0;
    }
    if (first_interpreter == current) return 0;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
}

int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to, bool none_allowed) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!none_allowed && value.is_none()) return 0;
    return PyDict_SetItemString(module_dict, to, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (check_interpreter() < 0) return nullptr;
    if (process_state().module) return Ref(process_state().module).release();
    Ref module_name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = module_name ? Ref::steal(PyModule_NewObject(module_name.get())) : Ref();
    if (!module) return nullptr;
    PyObject* module_dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, module_dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, module_dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, module_dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

// -- execute step -------------------------------------------------------------------------------

int warn_on_version_mismatch() {
    const int major = (Py_Version >> 24) & 0xff;
    const int minor = (Py_Version >> 16) & 0xff;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match", major, minor);
}

int register_in_module_table(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemString(modules, module_name);
    if (existing) return 0;
    return PyDict_SetItemString(modules, module_name, module);
}

int fetch_builtin(const char* builtin_name, Ref* slot) {
    Ref value = Ref::steal(PyObject_GetAttrString(process_state().builtins.get(), builtin_name));
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", builtin_name);
        return -1;
    }
    *slot = std::move(value);  // a repeated execution replaces what the failed one fetched
    return 0;
}

int fetch_builtins() {
    ProcessState& state = process_state();
    const bool fetched = fetch_builtin("ValueError", &state.ValueError) == 0 && fetch_builtin("zip", &state.zip) == 0 &&
                         fetch_builtin("round", &state.round) == 0 &&
                         fetch_builtin("ImportError", &state.ImportError) == 0 &&
                         fetch_builtin("enumerate", &state.enumerate) == 0;
    return fetched ? 0 : -1;
}

int keep_module(PyObject* module) {
    ProcessState& state = process_state();
    state.module = Ref::borrow(module);
    state.globals = PyModule_GetDict(module);
    if (!state.builtins) state.builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!state.builtins) return -1;
    return PyObject_SetAttrString(module, "__builtins__", state.builtins.get());
}

int add_test_dict(PyObject* module) {
    Ref test = Ref::steal(PyDict_New());
    return test ? PyObject_SetAttrString(module, "__test__", test.get()) : -1;
}

// A fit of a small photo allocates and frees some megabytes of work space per call. By default glibc
// returns the top of its heap to the system at every free and faults it back in page by page at the
// next call: an eighth of the time of a 0.27 MP fit. Keeping 16 MB mapped above the heap top avoids
// that; a pad the user set through the environment is left as it is.
void keep_heap_between_calls() {
#if defined(__GLIBC__)
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (std::getenv("MALLOC_TOP_PAD_") || (tunables && std::strstr(tunables, "top_pad"))) return;
    mallopt(M_TOP_PAD, 16 << 20);
#endif
}

int run_execute_steps(PyObject* module) {
    keep_heap_between_calls();
    if (keep_module(module) < 0 || warn_on_version_mismatch() < 0 || create_constants() < 0 ||
        register_in_module_table(module) < 0 || fetch_builtins() < 0 || ready_function_type() < 0 ||
        ready_extractor_type(module) < 0 || import_numpy_types() < 0 || import_libraries() < 0 ||
        import_numpy_array_api() < 0 || install_methods(&ColorExtractorType) < 0 ||
        ready_extractor_variants(module) < 0 || tell_model_methods() < 0 || install_module_functions(module) < 0 ||
        preparation::install_pixel_budget(module) < 0 || add_test_dict(module) < 0)
        return -1;
    return 0;
}

int execute_module(PyObject* module) {
    ProcessState& state = process_state();
    if (state.module) {
        if (state.module.is(module)) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'color_extractor_cy' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (run_execute_steps(module) == 0) return 0;
    if (PyErr_Occurred()) add_traceback("init lumvarde_quorle.color_extractor_cy");
    else PyErr_SetString(PyExc_ImportError, "init lumvarde_quorle.color_extractor_cy");
    state.forget_module();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "color_extractor_cy",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
};

}  // namespace
}  // namespace lq

extern "C" PyMODINIT_FUNC PyInit_color_extractor_cy() { return PyModuleDef_Init(&lq::module_definition); }
