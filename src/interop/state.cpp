#include "interop/state.hpp"

namespace lq {

ProcessState& process_state() noexcept {
    static ProcessState* const state = new ProcessState;  // never deleted: see state.hpp
    return *state;
}

}  // namespace lq
