#include "platform/gpu/command_queue.hpp"

#include <chrono>

#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/device.hpp"

namespace quendal::gpu {

namespace {

// How long finished command buffers that nobody waits for may keep their
// resources.
constexpr auto kReapInterval = std::chrono::milliseconds(5);

}  // namespace

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
    submitted->tracked_ = true;
    submitted->urgent_ = !submitted->handlers_.empty();
    if (submitted->urgent_) completion_->urgent += 1;
    completion_->inFlight.push_back(std::move(submitted));
    completion_->pending.notify_one();
}

void CommandQueue::hurry(CommandBuffer& commandBuffer)
{
    std::lock_guard lock(completion_->mutex);
    if (!commandBuffer.tracked_ || commandBuffer.urgent_) return;
    commandBuffer.urgent_ = true;
    completion_->urgent += 1;
    completion_->pending.notify_one();
}

// Submissions on the one queue complete in order, so finishing the oldest
// first runs the handlers in commit order. The thread blocks on a fence only
// while some command buffer needs prompt completion: on a software driver a
// second thread waiting on the fence that a caller waits on costs the caller
// dearly. The others are reaped by polling.
void CommandQueue::completionLoop(std::shared_ptr<Completion> completion)
{
    std::unique_lock lock(completion->mutex);
    for (;;) {
        if (completion->inFlight.empty()) {
            if (completion->stopping) return;
            completion->pending.wait(lock, [&] { return completion->stopping || !completion->inFlight.empty(); });
            continue;
        }
        std::shared_ptr<CommandBuffer> next = completion->inFlight.front();
        const bool block = completion->stopping || completion->urgent > 0;
        lock.unlock();
        VkDevice device = next->device()->vk();
        const VkResult r = block ? vkWaitForFences(device, 1, &next->fence_, VK_TRUE, UINT64_MAX)
                                 : vkGetFenceStatus(device, next->fence_);
        if (r == VK_NOT_READY) {
            next.reset();
            lock.lock();
            completion->pending.wait_for(lock, kReapInterval,
                                         [&] { return completion->stopping || completion->urgent > 0; });
            continue;
        }
        next->finish(r == VK_SUCCESS ? CommandBufferStatus::Completed : CommandBufferStatus::Error);
        lock.lock();
        completion->inFlight.pop_front();
        next->tracked_ = false;
        if (next->urgent_) completion->urgent -= 1;
        lock.unlock();
        next.reset();  // may destroy the queue; only `completion` is touched after this
        lock.lock();
    }
}

}  // namespace quendal::gpu
