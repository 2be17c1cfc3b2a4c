// A counting semaphore with the operations of a dispatch semaphore: signal from
// any thread, wait with or without a time limit. Shared through shared_ptr, so
// a waiter keeps it alive while the record that made it goes away.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace quendal {

class Semaphore {
public:
    explicit Semaphore(int64_t count = 0) : count_(count) {}
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void signal()
    {
        {
            std::lock_guard lock(mutex_);
            ++count_;
        }
        available_.notify_one();
    }

    bool tryWait()
    {
        std::lock_guard lock(mutex_);
        if (count_ <= 0) return false;
        --count_;
        return true;
    }

    void wait()
    {
        std::unique_lock lock(mutex_);
        available_.wait(lock, [&] { return count_ > 0; });
        --count_;
    }

    // False when timeout passed without a signal.
    bool waitFor(std::chrono::nanoseconds timeout)
    {
        std::unique_lock lock(mutex_);
        if (!available_.wait_for(lock, timeout, [&] { return count_ > 0; })) return false;
        --count_;
        return true;
    }

    int64_t count()
    {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable available_;
    int64_t count_;
};

}  // namespace quendal
