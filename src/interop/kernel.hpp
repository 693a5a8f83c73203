// Runs native work that touches no interpreter object (a kernel) and turns its C++ failures into the
// interpreter's exceptions, so that none crosses into the interpreter: memory exhaustion becomes
// MemoryError, and an interruption reports the exception that a signal handler raised (KeyboardInterrupt
// for Ctrl-C). The kernel polls its Stop; each poll on the calling thread may check the interpreter's
// signals, taking the GIL back for that moment when it was released.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

#include "interop/python.hpp"
#include "kernels/stop.hpp"

namespace lq {

enum class Gil { keep, release };

namespace detail {
int kernel_failed(const std::string& what, bool no_memory, bool interrupted);
}

// Calls work(stop). 0, or -1 with an exception set.
template <typename Work>
int run_kernel(Work&& work, Gil gil = Gil::keep) {
    PyThreadState* released = nullptr;
    kernels::Stop stop([&released] {
        if (released) PyEval_RestoreThread(released);
        const bool raised = PyErr_CheckSignals() < 0;
        if (released) released = PyEval_SaveThread();
        return raised;
    });
    std::string what;
    bool no_memory = false, interrupted = false;
    if (gil == Gil::release) released = PyEval_SaveThread();
    try {
        work(stop);
    } catch (const std::bad_alloc&) {
        no_memory = true;
    } catch (const std::length_error&) {
        no_memory = true;
    } catch (const kernels::Interrupted&) {
        interrupted = true;
    } catch (const std::exception& error) {
        what = std::string("native kernel failed: ") + error.what();
    } catch (...) {
        what = "native kernel failed";
    }
    if (released) PyEval_RestoreThread(released);
    if (what.empty() && !no_memory && !interrupted) return 0;
    return detail::kernel_failed(what, no_memory, interrupted);
}

}  // namespace lq
