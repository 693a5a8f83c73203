// Work shared among threads, the calling one included, for kernels that split their work.
#pragma once

#include <functional>

#include "kernels/stop.hpp"

namespace lq::kernels {

// Runs `work` on `workers` threads, the calling one included. The first failure stops the others
// (through `stop`) and is rethrown here; an interruption only when nothing else failed.
void run_on_threads(int workers, Stop& stop, const std::function<void()>& work);

}  // namespace lq::kernels
