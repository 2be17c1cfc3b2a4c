// The request object through which every system operation reports back to Python.
//
// Producers (the main thread, platform worker threads) record a final result, a
// failure or streamed samples; the Python thread reads bounded snapshots. Every
// operation is thread-safe and never blocks a producer for longer than the
// request's own lock is held. Family requests derive from it and override close().
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "runtime/semaphore.hpp"

namespace quendal::system {

using Json = nlohmann::json;

class QuendalPyRequest {
public:
    static constexpr uint64_t kDefaultCapacity = 128;

    QuendalPyRequest();
    virtual ~QuendalPyRequest();

    QuendalPyRequest(const QuendalPyRequest&) = delete;
    QuendalPyRequest& operator=(const QuendalPyRequest&) = delete;

    bool done() const;
    bool closed() const;
    // Done, closed or holding a buffered sample: a poll need not wait.
    bool hasNews() const;

    // Only right after creation, before any sample can arrive.
    void setCapacity(uint64_t capacity) { capacity_ = capacity; }
    uint64_t capacity() const { return capacity_; }

    // The first outcome wins; anything after done or closed is ignored.
    void finish(Json value);
    void fail(const std::string& kind, std::optional<std::string> message);
    void push(Json sample);

    // The poll snapshot as JSON text. Throws the JSON library's error when a
    // value holds text that is not UTF-8.
    std::string snapshotText(bool consume);
    Json snapshot(bool consume);

    // Subclasses release their platform resources, then call this.
    virtual void close();

    // Non-blocking: true if a signal was pending and is now taken.
    bool tryWait();
    // Waits at most timeoutNs on the monotonic clock; true if signalled.
    bool waitFor(int64_t timeoutNs);
    // While set, signals also wake the default main context, in which a poll on
    // the main thread waits rather than on the semaphore.
    void setMainThreadWaiting(bool waiting);

protected:
    // Recursive so that a subclass may call these while already holding it.
    mutable std::recursive_mutex lock_;

private:
    void signal();

    bool done_ = false;
    bool closed_ = false;
    std::optional<Json> result_;
    std::optional<Json> failure_;
    std::deque<Json> samples_;
    uint64_t capacity_ = kDefaultCapacity;
    uint64_t dropped_ = 0;
    Semaphore signal_;
    std::atomic<bool> mainThreadWaiting_{false};
};

using RequestRef = std::shared_ptr<QuendalPyRequest>;

inline constexpr const char* kDefaultFailureMessage = "Apple framework operation failed.";

// A new plain request already finished with value (null when absent).
RequestRef QuendalPyValue(Json value = nullptr);
// A new plain request that has already failed with kind and message.
RequestRef QuendalPyFailure(const std::string& kind, std::optional<std::string> message);

}  // namespace quendal::system
