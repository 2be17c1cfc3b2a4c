#include "platform/gpu/command_buffer.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/gpu/barriers.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/device.hpp"

namespace quendal::gpu {

namespace {

// Long enough to cover a small frame with its read-back on a software driver
// (0.3-0.5 ms); a wait that outlasts it sleeps, so a long kernel costs the
// waiter at most this much CPU, spent yielding.
constexpr auto kPollBeforeSleep = std::chrono::microseconds(1000);

}  // namespace

Result<std::shared_ptr<CommandBuffer>> CommandBuffer::create(std::shared_ptr<CommandQueue> queue)
{
    // A pool per command buffer: recording happens on whichever thread Python
    // calls from, and pools may not be shared across threads without a lock.
    auto slot = queue->acquireSlot();
    if (!slot) return slot.error();
    std::shared_ptr<CommandBuffer> cb(new CommandBuffer(std::move(queue)));
    cb->slot_ = slot.value();
    VkCommandBufferBeginInfo begin{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    if (VkResult r = vkBeginCommandBuffer(cb->vk(), &begin); r != VK_SUCCESS) {
        return vkError(r, "vkBeginCommandBuffer");
    }
    return cb;
}

CommandBuffer::~CommandBuffer()
{
    // Completed, failed or never submitted: the GPU is done with the slot.
    if (slot_.pool) queue_->releaseSlot(slot_);
}

const std::shared_ptr<Device>& CommandBuffer::device() const
{
    return queue_->device();
}

void CommandBuffer::retain(std::shared_ptr<void> object)
{
    retained_.push_back(std::move(object));
}

void CommandBuffer::addCompletedHandler(Handler handler)
{
    handlers_.push_back(std::move(handler));
}

void CommandBuffer::addWait(VkSemaphore semaphore, VkPipelineStageFlags2 stages)
{
    VkSemaphoreSubmitInfo info{VK_STRUCTURE_TYPE_SEMAPHORE_SUBMIT_INFO};
    info.semaphore = semaphore;
    info.stageMask = stages;
    waits_.push_back(info);
}

void CommandBuffer::addSignal(VkSemaphore semaphore)
{
    VkSemaphoreSubmitInfo info{VK_STRUCTURE_TYPE_SEMAPHORE_SUBMIT_INFO};
    info.semaphore = semaphore;
    info.stageMask = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT;
    signals_.push_back(info);
}

void CommandBuffer::addCommittedHandler(std::function<void()> handler)
{
    committedHandlers_.push_back(std::move(handler));
}

void CommandBuffer::commit()
{
    {
        std::lock_guard lock(mutex_);
        if (status_ != CommandBufferStatus::NotEnqueued) return;
        status_ = CommandBufferStatus::Committed;
    }
    if (prologue_) {
        // Should the clamping pass fail to build, its draws read zeros and draw
        // nothing: never the unclamped counts.
        (void)indirectClamp_.finish(prologue_);
        prologue_->commit();
    }
    VkResult r = vkEndCommandBuffer(vk());
    if (r == VK_SUCCESS) {
        VkCommandBufferSubmitInfo cbInfos[2]{{VK_STRUCTURE_TYPE_COMMAND_BUFFER_SUBMIT_INFO},
                                             {VK_STRUCTURE_TYPE_COMMAND_BUFFER_SUBMIT_INFO}};
        VkSubmitInfo2 submit{VK_STRUCTURE_TYPE_SUBMIT_INFO_2};
        submit.waitSemaphoreInfoCount = static_cast<uint32_t>(waits_.size());
        submit.pWaitSemaphoreInfos = waits_.data();
        submit.pCommandBufferInfos = cbInfos;
        submit.signalSemaphoreInfoCount = static_cast<uint32_t>(signals_.size());
        submit.pSignalSemaphoreInfos = signals_.data();
        auto& device = *this->device();
        std::lock_guard lock(device.queueMutex());
        // Taken under the queue mutex: whatever the step holds reaches the GPU
        // before any command buffer committed after this one.
        VkCommandBuffer setUp = VK_NULL_HANDLE;
        if (auto step = queue_->takeSetUp(setUp)) {
            cbInfos[submit.commandBufferInfoCount++].commandBuffer = setUp;
            retain(std::move(step));
        }
        cbInfos[submit.commandBufferInfoCount++].commandBuffer = vk();
        r = vkQueueSubmit2(device.queue(), 1, &submit, slot_.fence);
        if (r == VK_SUCCESS) {
            for (auto& handler : committedHandlers_) handler();
        }
        committedHandlers_.clear();
    }
    if (r != VK_SUCCESS) {
        error_ = vkError(r, "vkQueueSubmit2").reason;
        finish(CommandBufferStatus::Error);
        return;
    }
    queue_->track(shared_from_this());
    {
        std::lock_guard lock(mutex_);
        submitted_ = true;
    }
    completed_.notify_all();
}

void CommandBuffer::finish(CommandBufferStatus status)
{
    for (auto& handler : handlers_) handler(*this);
    handlers_.clear();
    retained_.clear();
    {
        std::lock_guard lock(mutex_);
        status_ = status;
    }
    completed_.notify_all();
}

void CommandBuffer::waitUntilCompleted()
{
    queue_->hurry(*this);
    std::unique_lock lock(mutex_);
    completed_.wait(lock, [&] {
        return status_ == CommandBufferStatus::Completed || status_ == CommandBufferStatus::Error ||
               status_ == CommandBufferStatus::NotEnqueued;
    });
}

Status CommandBuffer::waitUntilExecuted()
{
    std::unique_lock lock(mutex_);
    completed_.wait(lock, [&] { return status_ != CommandBufferStatus::Committed || submitted_; });
    if (status_ == CommandBufferStatus::NotEnqueued) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "the command buffer was not committed"};
    }
    if (status_ == CommandBufferStatus::Error) return Error{VK_ERROR_DEVICE_LOST, error_};
    if (status_ == CommandBufferStatus::Completed || executed_) return success();
    // The fence, not the completion thread: that thread runs earlier command
    // buffers' handlers first, and those may need a lock this caller holds.
    const VkFence fence = useFence();
    lock.unlock();
    // Short passes finish within microseconds; polling first spares the
    // waiter a sleep whose wake-up costs more than the work (lavapipe on a
    // small virtual machine: about 40 us per pass). Yielding leaves the cores
    // to a software driver's threads.
    const VkDevice vk = device()->vk();
    const auto pollEnd = std::chrono::steady_clock::now() + kPollBeforeSleep;
    while (vkGetFenceStatus(vk, fence) == VK_NOT_READY && std::chrono::steady_clock::now() < pollEnd) {
        std::this_thread::yield();
    }
    const VkResult r = vkWaitForFences(vk, 1, &fence, VK_TRUE, UINT64_MAX);
    doneWithFence(r == VK_SUCCESS);
    if (r != VK_SUCCESS) return vkError(r, "vkWaitForFences");
    return success();
}

VkFence CommandBuffer::useFence()
{
    fenceUsers_ += 1;
    return slot_.fence;
}

void CommandBuffer::doneWithFence(bool signalled)
{
    CommandQueue::Slot released;
    {
        std::lock_guard lock(mutex_);
        fenceUsers_ -= 1;
        if (signalled) executed_ = true;
        // The GPU is done with the slot and nobody looks at its fence any more:
        // the next command buffer may have it now, before the completion
        // thread gets round to releasing this one.
        if (executed_ && fenceUsers_ == 0 && slot_.pool) std::swap(released, slot_);
    }
    if (released.pool) queue_->releaseSlot(released);
}

CommandBufferStatus CommandBuffer::status()
{
    std::lock_guard lock(mutex_);
    return status_;
}

Result<IndirectArguments> CommandBuffer::indirectArguments(const std::shared_ptr<Buffer>& buffer, uint64_t offset,
                                                           uint64_t size)
{
    if (!prologue_) {
        auto made = CommandBuffer::create(queue_);
        if (!made) return made.error();
        prologue_ = std::move(made.value());
    }
    auto arguments = indirectClamp_.add(prologue_, buffer, offset, size);
    if (arguments) retain(arguments->buffer);
    return arguments;
}

void CommandBuffer::memoryBarrier()
{
    gpu::memoryBarrier(vk(), {VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT, VK_ACCESS_2_MEMORY_WRITE_BIT},
                       {VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT, VK_ACCESS_2_MEMORY_READ_BIT | VK_ACCESS_2_MEMORY_WRITE_BIT});
}

}  // namespace quendal::gpu
