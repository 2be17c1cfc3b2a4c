#include "platform/gpu/command_queue.hpp"

#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/device.hpp"

namespace quendal::gpu {

Result<std::shared_ptr<CommandQueue>> CommandQueue::create(std::shared_ptr<Device> device)
{
    return std::shared_ptr<CommandQueue>(new CommandQueue(std::move(device)));
}

CommandQueue::~CommandQueue()
{
    {
        std::lock_guard lock(completion_->mutex);
        completion_->stopping = true;
    }
    completion_->pending.notify_all();
    if (!completionThread_.joinable()) return;
    // The completion thread itself may drop the last reference to its queue.
    if (completionThread_.get_id() == std::this_thread::get_id()) {
        completionThread_.detach();
    } else {
        completionThread_.join();
    }
}

Result<std::shared_ptr<CommandBuffer>> CommandQueue::commandBuffer()
{
    return CommandBuffer::create(shared_from_this());
}

void CommandQueue::track(std::shared_ptr<CommandBuffer> submitted)
{
    std::lock_guard lock(completion_->mutex);
    if (!completionThread_.joinable()) completionThread_ = std::thread(completionLoop, completion_);
    completion_->inFlight.push_back(std::move(submitted));
    completion_->pending.notify_one();
}

// Submissions on the one queue complete in order, so waiting on each fence in
// turn runs the handlers in commit order.
void CommandQueue::completionLoop(std::shared_ptr<Completion> completion)
{
    for (;;) {
        std::shared_ptr<CommandBuffer> next;
        {
            std::unique_lock lock(completion->mutex);
            completion->pending.wait(lock, [&] { return completion->stopping || !completion->inFlight.empty(); });
            if (completion->inFlight.empty()) return;
            next = completion->inFlight.front();
        }
        const VkResult r = vkWaitForFences(next->device()->vk(), 1, &next->fence_, VK_TRUE, UINT64_MAX);
        next->finish(r == VK_SUCCESS ? CommandBufferStatus::Completed : CommandBufferStatus::Error);
        {
            std::lock_guard lock(completion->mutex);
            completion->inFlight.pop_front();
        }
        next.reset();  // may destroy the queue; only `completion` is touched after this
    }
}

}  // namespace quendal::gpu
