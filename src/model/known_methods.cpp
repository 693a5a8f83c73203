#include "model/known_methods.hpp"

#include <new>

#include "interop/state.hpp"

namespace lq::model {

static_assert(std::tuple_size_v<decltype(ProcessState::stage_methods)> == stage_count);

void know_definitions(DefinitionOf reader) { process_state().definition_of = reader; }

void know_stage_method(Stage stage, const void* definition) {
    process_state().stage_methods[static_cast<int>(stage)] = definition;
}

int know_kmeans_method(const void* definition, PyTypeObject* owner, bool native) {
    auto& known = process_state().kmeans_methods;
    for (auto& method : known)
        if (method.definition == definition) {
            method = {definition, owner, native};
            return 0;
        }
    try {
        known.push_back({definition, owner, native});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

bool made_from(PyObject* function, const void* definition) {
    const DefinitionOf definition_of = process_state().definition_of;
    return definition && definition_of && definition_of(function) == definition;
}

bool is_stage_method(PyObject* function, Stage stage) {
    return made_from(function, process_state().stage_methods[static_cast<int>(stage)]);
}

const char* native_kmeans_class(PyObject* function) {
    for (const auto& method : process_state().kmeans_methods)
        if (method.native && made_from(function, method.definition)) return _PyType_Name(method.owner);
    return nullptr;
}

bool is_library_kmeans(PyObject* function) {
    for (const auto& method : process_state().kmeans_methods)
        if (!method.native && made_from(function, method.definition)) return true;
    return false;
}

bool library_kmeans_lineage(PyTypeObject* type) {
    for (const auto& method : process_state().kmeans_methods)
        if (!method.native && PyType_IsSubtype(type, method.owner)) return true;
    return false;
}

}  // namespace lq::model
