// A command queue: makes command buffers and runs their completion handlers on
// one completion thread of its own, the counterpart of the platform's completion
// threads. Thread-safe.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class CommandBuffer;
class Device;

class CommandQueue : public std::enable_shared_from_this<CommandQueue> {
public:
    static Result<std::shared_ptr<CommandQueue>> create(std::shared_ptr<Device> device);
    ~CommandQueue();
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    Result<std::shared_ptr<CommandBuffer>> commandBuffer();
    const std::shared_ptr<Device>& device() const { return device_; }

private:
    friend class CommandBuffer;
    explicit CommandQueue(std::shared_ptr<Device> device) : device_(std::move(device)) {}

    // What the completion thread shares with the queue. The thread holds it on
    // its own, so the queue may be destroyed by the last command buffer that the
    // thread releases.
    struct Completion {
        std::mutex mutex;
        std::condition_variable pending;
        std::deque<std::shared_ptr<CommandBuffer>> inFlight;
        size_t urgent = 0;  // in-flight command buffers that need prompt completion
        bool stopping = false;
    };

    // Called by CommandBuffer::commit after a successful submit.
    void track(std::shared_ptr<CommandBuffer> submitted);
    // Someone waits for the command buffer's handlers: complete it promptly.
    void hurry(CommandBuffer& commandBuffer);
    static void completionLoop(std::shared_ptr<Completion> completion);

    std::shared_ptr<Device> device_;
    std::shared_ptr<Completion> completion_ = std::make_shared<Completion>();
    std::thread completionThread_;
};

}  // namespace quendal::gpu
