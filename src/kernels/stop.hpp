// Cooperative cancellation for long kernels. A kernel calls poll() between units of work (a few
// milliseconds each at most); once a stop has been requested, poll() throws Interrupted, which unwinds
// the kernel and frees everything it allocated. Any thread may poll and request; only the thread that
// made the Stop asks its `requested` function, at most once per interval, because that question may
// need the thread's own context (the binding checks the interpreter's signal flags there).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace lq::kernels {

struct Interrupted {};

class Stop {
public:
    using Clock = std::chrono::steady_clock;

    explicit Stop(std::function<bool()> requested = {}, Clock::duration interval = std::chrono::milliseconds(20))
        : ask_(std::move(requested)),
          interval_(interval),
          owner_(std::this_thread::get_id()),
          next_(Clock::now() + interval) {}

    Stop(const Stop&) = delete;
    Stop& operator=(const Stop&) = delete;

    void poll() {
        if (stopped_.load(std::memory_order_relaxed)) throw Interrupted{};
        if (!ask_ || std::this_thread::get_id() != owner_) return;
        const Clock::time_point now = Clock::now();
        if (now < next_) return;
        next_ = now + interval_;
        if (ask_()) {
            request();
            throw Interrupted{};
        }
    }

    void request() noexcept { stopped_.store(true, std::memory_order_relaxed); }
    bool requested() const noexcept { return stopped_.load(std::memory_order_relaxed); }

private:
    std::function<bool()> ask_;
    Clock::duration interval_;
    std::thread::id owner_;
    Clock::time_point next_;
    std::atomic<bool> stopped_{false};
};

}  // namespace lq::kernels
