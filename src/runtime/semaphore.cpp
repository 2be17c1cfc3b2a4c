#include "runtime/semaphore.hpp"

#include <ctime>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quendal {
namespace {

void futexWake(std::atomic<int32_t>* word)
{
    syscall(SYS_futex, reinterpret_cast<int32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Returns when woken, when the word no longer holds expected, on a signal or
// once timeout (relative; null: none) has passed. The caller rechecks.
void futexWait(std::atomic<int32_t>* word, int32_t expected, const timespec* timeout)
{
    syscall(SYS_futex, reinterpret_cast<int32_t*>(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

}  // namespace

void Semaphore::signal()
{
    int32_t count = count_.load(std::memory_order_relaxed);
    while (count < INT32_MAX && !count_.compare_exchange_weak(count, count + 1, std::memory_order_seq_cst)) {
    }
    // Sequentially consistent with the waiter's "register, then look at the
    // count": either it sees the new count or this sees it registered.
    if (waiters_.load(std::memory_order_seq_cst) > 0) futexWake(&count_);
}

bool Semaphore::tryWait()
{
    int32_t count = count_.load(std::memory_order_relaxed);
    while (count > 0) {
        if (count_.compare_exchange_weak(count, count - 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void Semaphore::wait()
{
    waitUntil(nullptr);
}

bool Semaphore::waitFor(std::chrono::nanoseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    return waitUntil(&deadline);
}

bool Semaphore::waitUntil(const std::chrono::steady_clock::time_point* deadline)
{
    for (;;) {
        if (tryWait()) return true;
        timespec relative{};
        if (deadline) {
            const auto left = *deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::nanoseconds::zero()) return false;
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            relative.tv_sec = static_cast<time_t>(ns / 1000000000);
            relative.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        waiters_.fetch_add(1, std::memory_order_seq_cst);
        if (count_.load(std::memory_order_seq_cst) == 0) futexWait(&count_, 0, deadline ? &relative : nullptr);
        waiters_.fetch_sub(1, std::memory_order_relaxed);
    }
}

}  // namespace quendal
