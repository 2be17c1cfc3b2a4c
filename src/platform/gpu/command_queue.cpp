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
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    pending_.notify_all();
    if (completionThread_.joinable()) completionThread_.join();
}

Result<std::shared_ptr<CommandBuffer>> CommandQueue::commandBuffer()
{
    return CommandBuffer::create(shared_from_this());
}

void CommandQueue::track(std::shared_ptr<CommandBuffer> submitted)
{
    std::lock_guard lock(mutex_);
    if (!completionThread_.joinable()) completionThread_ = std::thread([this] { completionLoop(); });
    inFlight_.push_back(std::move(submitted));
    pending_.notify_one();
}

// Submissions on the one queue complete in order, so waiting on each fence in
// turn runs the handlers in commit order.
void CommandQueue::completionLoop()
{
    VkDevice vk = device_->vk();
    for (;;) {
        std::shared_ptr<CommandBuffer> next;
        {
            std::unique_lock lock(mutex_);
            pending_.wait(lock, [&] { return stopping_ || !inFlight_.empty(); });
            if (inFlight_.empty()) return;
            next = inFlight_.front();
        }
        const VkResult r = vkWaitForFences(vk, 1, &next->fence_, VK_TRUE, UINT64_MAX);
        next->finish(r == VK_SUCCESS ? CommandBufferStatus::Completed : CommandBufferStatus::Error);
        std::lock_guard lock(mutex_);
        inFlight_.pop_front();
    }
}

}  // namespace quendal::gpu
