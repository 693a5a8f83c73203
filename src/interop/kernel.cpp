#include "interop/kernel.hpp"

namespace lq::detail {

int kernel_failed(const std::string& what, bool no_memory, bool interrupted) {
    if (no_memory) {
        PyErr_NoMemory();
    } else if (interrupted) {
        // The signal handler's exception is pending; a stop requested otherwise is still an interruption.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } else {
        PyErr_SetString(PyExc_SystemError, what.c_str());
    }
    return -1;
}

}  // namespace lq::detail
