#include "interop/process_state.hpp"

namespace lq {

ProcessState& process_state() noexcept {
    static ProcessState state;
    return state;
}

}  // namespace lq
