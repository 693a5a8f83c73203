// The library imports, bound as module globals as soon as each is obtained. The operations look these
// globals up at the moment of use; the objects bound here are also remembered, so that fast paths can
// tell whether a global still is the library they were proven equal to.
#include "frame/initialisation.hpp"
#include "interop/call.hpp"
#include "interop/constants.hpp"
#include "interop/convert.hpp"
#include "interop/globals.hpp"

namespace lq {
namespace {

// True when the module's __spec__ says that it is still being initialised (a circular import).
int is_initialising(PyObject* module) {
    Ref spec = Ref::steal(PyObject_GetAttr(module, name<"__spec__">()));
    if (!spec) {
        PyErr_Clear();
        return 0;
    }
    Ref initialising = Ref::steal(PyObject_GetAttr(spec.get(), name<"_initializing">()));
    if (!initialising) {
        PyErr_Clear();
        return 0;
    }
    return truth(initialising.get());
}

// `import a.b`: the module itself (a.b, not a), reusing an entry of the module table unless it is
// still initialising.
Ref import_module(PyObject* globals, const char* dotted_name) {
    Ref module_name = Ref::steal(PyUnicode_FromString(dotted_name));
    if (!module_name) return Ref();
    Ref module = Ref::steal(PyImport_GetModule(module_name.get()));
    if (module) {
        const int initialising = is_initialising(module.get());
        if (initialising < 0) return Ref();
        if (!initialising) return module;
    } else if (PyErr_Occurred()) {
        return Ref();
    }
    Ref top = Ref::steal(PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, nullptr, 0));
    if (!top) return Ref();
    return Ref::steal(PyImport_GetModule(module_name.get()));
}

// `from module import name`: the attribute, else the submodule module.name from the module table.
Ref import_from(PyObject* module, const char* attribute) {
    Ref value = Ref::steal(PyObject_GetAttrString(module, attribute));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    Ref full_name = module_name ? Ref::steal(PyUnicode_FromFormat("%U.%s", module_name.get(), attribute)) : Ref();
    if (full_name) {
        Ref submodule = Ref::steal(PyImport_GetModule(full_name.get()));
        if (submodule) return submodule;
    }
    PyErr_Clear();
    Ref requested = Ref::steal(PyUnicode_FromString(attribute));
    if (requested) PyErr_Format(PyExc_ImportError, "cannot import name %S", requested.get());
    return Ref();
}

int bind(PyObject* globals, const char* global_name, const Ref& value) {
    if (!value) return -1;
    if (PyDict_SetItemString(globals, global_name, value.get()) < 0) return -1;
    return PyDict_SetItemString(process_state().imported.get(), global_name, value.get());
}

int bind_module(PyObject* globals, const char* global_name, const char* module_name) {
    return bind(globals, global_name, import_module(globals, module_name));
}

// from <module_name> import <names...>
int bind_from(PyObject* globals, const char* module_name, std::initializer_list<const char*> names) {
    Ref from_list = Ref::steal(PyList_New(0));
    if (!from_list) return -1;
    for (const char* imported : names) {
        Ref text = Ref::steal(PyUnicode_FromString(imported));
        if (!text || PyList_Append(from_list.get(), text.get()) < 0) return -1;
    }
    Ref module = Ref::steal(PyImport_ImportModuleLevel(module_name, globals, nullptr, from_list.get(), 0));
    if (!module) return -1;
    for (const char* imported : names)
        if (bind(globals, imported, import_from(module.get(), imported)) < 0) return -1;
    return 0;
}

}  // namespace

int import_libraries(PyObject* globals) {
    ProcessState& state = process_state();
    if (!state.imported && !(state.imported = Ref::steal(PyDict_New()))) return -1;
    if (bind_module(globals, "np", "numpy") < 0 || bind_module(globals, "cv2", "cv2") < 0 ||
        bind_from(globals, "sklearn.cluster", {"KMeans", "DBSCAN"}) < 0 ||
        bind_from(globals, "sklearn.preprocessing", {"StandardScaler"}) < 0 ||
        bind_from(globals, "sklearn.metrics.pairwise", {"euclidean_distances"}) < 0 ||
        bind_from(globals, "typing", {"List", "Tuple", "Optional", "Union", "Dict"}) < 0 ||
        bind_from(globals, "PIL", {"Image"}) < 0)
        return -1;
    // The native K-means stands in for these methods only while they are the library's own.
    if (remember_attribute("KMeans", "fit") < 0 || remember_attribute("KMeans", "fit_predict") < 0) return -1;
    return bind_module(globals, "plt", "matplotlib.pyplot");
}

}  // namespace lq
