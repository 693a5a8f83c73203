#include "kernels/threads.hpp"

#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace lq::kernels {

void run_on_threads(int workers, Stop& stop, const std::function<void()>& work) {
    std::mutex failure_lock;
    std::exception_ptr failure, interruption;
    auto guarded = [&] {
        try {
            work();
        } catch (const Interrupted&) {
            const std::lock_guard<std::mutex> guard(failure_lock);
            interruption = std::current_exception();
        } catch (...) {
            stop.request();
            const std::lock_guard<std::mutex> guard(failure_lock);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    try {
        for (int t = 1; t < workers; ++t) threads.emplace_back(guarded);
    } catch (const std::system_error&) {
        // No more threads to be had: those started, and the calling one, do the work.
    }
    guarded();
    for (std::thread& thread : threads) thread.join();
    if (failure) std::rethrow_exception(failure);
    if (interruption) std::rethrow_exception(interruption);
}

}  // namespace lq::kernels
