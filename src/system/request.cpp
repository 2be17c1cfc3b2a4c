#include "system/request.hpp"

#include <chrono>

#include <glib.h>

namespace quendal::system {

QuendalPyRequest::QuendalPyRequest() = default;
QuendalPyRequest::~QuendalPyRequest() = default;

bool QuendalPyRequest::done() const
{
    std::lock_guard guard(lock_);
    return done_;
}

bool QuendalPyRequest::closed() const
{
    std::lock_guard guard(lock_);
    return closed_;
}

bool QuendalPyRequest::hasNews() const
{
    std::lock_guard guard(lock_);
    return done_ || closed_ || !samples_.empty();
}

void QuendalPyRequest::signal()
{
    signal_.signal();
    // Sequentially consistent with setMainThreadWaiting's store and the
    // waiter's next look at the semaphore: either it sees this signal, or this
    // sees it waiting and wakes the context it sleeps in.
    if (mainThreadWaiting_.load(std::memory_order_seq_cst)) g_main_context_wakeup(nullptr);
}

void QuendalPyRequest::finish(Json value)
{
    {
        std::lock_guard guard(lock_);
        if (done_ || closed_) return;
        result_ = std::move(value);
        done_ = true;
    }
    signal();
}

void QuendalPyRequest::fail(const std::string& kind, std::optional<std::string> message)
{
    {
        std::lock_guard guard(lock_);
        if (done_ || closed_) return;
        failure_ = Json{{"kind", kind}, {"message", message ? std::move(*message) : kDefaultFailureMessage}};
        done_ = true;
    }
    signal();
}

void QuendalPyRequest::push(Json sample)
{
    bool wasEmpty;
    {
        std::lock_guard guard(lock_);
        if (closed_ || done_) return;
        wasEmpty = samples_.empty();
        if (capacity_ == 0) {
            ++dropped_;
            return;
        }
        if (samples_.size() >= capacity_) {
            samples_.pop_front();
            ++dropped_;
        }
        samples_.push_back(std::move(sample));
    }
    // A burst into a non-empty buffer needs no further wake-up: the poller drains it.
    if (wasEmpty) signal();
}

std::string QuendalPyRequest::snapshotText(bool consume)
{
    // Written directly rather than built as a JSON object and dumped: a poll
    // then copies neither the result nor the sample. Keys in sorted order, as
    // the JSON library writes an object.
    std::string text;
    text.reserve(160);
    const auto flag = [](bool value) { return value ? "true" : "false"; };
    const auto value = [&](const std::optional<Json>& held) {
        if (held) {
            text += held->dump();
        } else {
            text += "null";
        }
    };
    std::lock_guard guard(lock_);
    std::optional<Json> sample;
    if (!samples_.empty()) {
        if (consume) {
            sample = std::move(samples_.front());
            samples_.pop_front();
        } else {
            sample = samples_.front();
        }
    }
    text += "{\"buffered\":";
    text += std::to_string(samples_.size());
    text += ",\"capacity\":";
    text += std::to_string(capacity_);
    text += ",\"closed\":";
    text += flag(closed_);
    text += ",\"done\":";
    text += flag(done_);
    text += ",\"dropped\":";
    text += std::to_string(dropped_);
    text += ",\"error\":";
    value(failure_);
    text += ",\"result\":";
    value(result_);
    text += ",\"sample\":";
    value(sample);
    text += '}';
    return text;
}

Json QuendalPyRequest::snapshot(bool consume)
{
    return Json::parse(snapshotText(consume));
}

void QuendalPyRequest::close()
{
    {
        std::lock_guard guard(lock_);
        closed_ = true;
        samples_.clear();
    }
    signal();
}

bool QuendalPyRequest::tryWait()
{
    return signal_.tryWait();
}

void QuendalPyRequest::setMainThreadWaiting(bool waiting)
{
    mainThreadWaiting_.store(waiting, std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

bool QuendalPyRequest::waitFor(int64_t timeoutNs)
{
    return signal_.waitFor(std::chrono::nanoseconds(timeoutNs));
}

RequestRef QuendalPyValue(Json value)
{
    auto request = std::make_shared<QuendalPyRequest>();
    request->finish(std::move(value));
    return request;
}

RequestRef QuendalPyFailure(const std::string& kind, std::optional<std::string> message)
{
    auto request = std::make_shared<QuendalPyRequest>();
    request->fail(kind, std::move(message));
    return request;
}

}  // namespace quendal::system
