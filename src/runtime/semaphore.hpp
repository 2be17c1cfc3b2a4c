// A counting semaphore with the operations of a dispatch semaphore: signal from
// any thread, wait with or without a time limit. Shared through shared_ptr, so
// a waiter keeps it alive while the record that made it goes away.
//
// The count is one futex word: a signal with nobody waiting is one atomic add,
// and a waiter sleeps in the kernel on the word itself, so a wake-up costs one
// system call on each side and no lock hand-over.
#pragma once

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>

namespace quendal {

class Semaphore {
public:
    explicit Semaphore(int64_t count = 0) : count_(static_cast<int32_t>(count < 0 ? 0 : count > INT32_MAX ? INT32_MAX : count)) {}
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Saturates rather than wrapping (a display link nobody waits on signals for
    // as long as the window lives).
    void signal();
    // True if a signal was pending and is now taken.
    bool tryWait();
    void wait();
    // False when timeout passed without a signal.
    bool waitFor(std::chrono::nanoseconds timeout);
    int64_t count() const { return count_.load(std::memory_order_relaxed); }

private:
    // Sleeps while the count is 0, at most until deadline (none: forever).
    bool waitUntil(const std::chrono::steady_clock::time_point* deadline);

    std::atomic<int32_t> count_;
    std::atomic<int32_t> waiters_{0};
};

}  // namespace quendal
