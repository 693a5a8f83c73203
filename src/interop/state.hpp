// Everything the module keeps for its lifetime, in one struct. The module exists at most once per
// process, in the first interpreter that loads it (the create step refuses any other), so there is one
// state, reached through process_state() by code that has no module object at hand.
//
// Fields that hold interpreter objects own them. The state is made on first use (the constant slots
// register while the extension's statics are initialised, before the module executes) and is never
// destroyed: the destructors of C++ statics run after the interpreter has finalised, when dropping a
// reference would touch freed memory. Nor is it cleared while the process lives: the state holds the
// module, so the module is never freed and has nothing to free the state with. A failed execution
// calls forget_module() so that a later import runs the execution anew; whatever else it had set is
// replaced by that run.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "interop/ref.hpp"
#include "kernels/kmeans/kmeans.hpp"

namespace lq {

class Operation;

struct ProcessState {
    // -- set while the module executes --------------------------------------------------------------
    Ref module;                   // set by a successful execution, cleared by a failed one
    PyObject* globals = nullptr;  // the module's dictionary, kept alive by `module`
    Ref builtins;
    Ref ndarray;  // numpy.ndarray, for every array check
    // Built-ins fetched once at initialisation.
    Ref ValueError;
    Ref zip;
    Ref round;
    Ref ImportError;
    Ref enumerate;
    // dict: global name -> the object the module's imports bound to it, for fast paths that may only
    // replace the very library calls they were proven equal to.
    Ref imported;
    // dict: (library call, reason) -> how often the native K-means left that call to the library;
    // published as the module's _kmeans_fallbacks, for diagnostics. Owned: created once, never released.
    PyObject* kmeans_fallbacks = nullptr;
    // Whether the K-means has warned that the installed scikit-learn is not a verified release (once).
    bool unverified_release_warned = false;

    // -- the module's own methods, as the binding declares them (model/known_methods.hpp) ------------
    // The model tells the module's own methods from overrides by the declaration a function object was
    // made from; the binding supplies the reader of declarations and the declarations themselves while
    // the module executes. Pointers to the binding's static declarations and types: nothing to own.
    const void* (*definition_of)(PyObject* function) = nullptr;
    std::array<const void*, 6> stage_methods{};  // by Stage value (model/extractor.hpp)
    struct KmeansMethod {
        const void* definition;  // a _cluster_colors_kmeans declaration
        PyTypeObject* owner;     // the class whose method it is
        bool native;             // the native K-means gives its result (else it is the library call's)
    };
    std::vector<KmeansMethod> kmeans_methods;

    // -- the create step ------------------------------------------------------------------------------
    // The interpreter that first created the module (-1 before); any other is refused.
    std::int64_t first_interpreter = -1;

    // -- interned names and cached numbers and tuples -------------------------------------------------
    // One entry per ConstantSlot (constants.hpp), registered during static initialisation; every object
    // is made by create_constants() while the module executes.
    struct Constant {
        PyObject* (*make)();
        Ref object;
    };
    std::vector<Constant> constants;

    // -- ColorExtractor.__init__'s docstring ----------------------------------------------------------
    // The __init__ slot wrapper reads its docstring from a table entry that every type's __init__
    // shares, so ColorExtractor's wrapper is pointed at this copy of the entry instead.
    wrapperbase init_wrapper{};
    bool init_documented = false;

    // -- facts about the libraries, probed once with the GIL held (the native K-means) -----------------
    struct DgemmProbe {
        bool looked = false;                     // the lookup ran to an answer; an interrupted one is asked again
        kernels::kmeans::Dgemm dgemm = nullptr;  // SciPy's dgemm, or null when absent or its rows are not independent
        bool same_as_fused = false;              // the fit's own arithmetic gives dgemm's values bit for bit
    };
    DgemmProbe dgemm_probe;
    // k -> the order (a kernels::kmeans::NormOrder value) in which np.einsum adds the squares of a k x 3
    // array, or -1 when no known order fits.
    std::unordered_map<int, int> norm_orders;

    // -- per thread -----------------------------------------------------------------------------------
    // The snapshots of the operations running on this thread, innermost last (see Operation). Not a
    // field of the one process-wide object: threads run operations at the same time, each nesting its
    // own. It holds pointers to Operation objects on its thread's stack and no references, so it needs no
    // clearing and goes safely with its thread.
    static inline thread_local std::vector<const Operation*> running_operations;

    void forget_module() noexcept {
        module.reset();
        globals = nullptr;
    }
};

ProcessState& process_state() noexcept;

}  // namespace lq
