#include "platform/gpu/command_buffer.hpp"

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/device.hpp"

namespace quendal::gpu {

Result<std::shared_ptr<CommandBuffer>> CommandBuffer::create(std::shared_ptr<CommandQueue> queue)
{
    std::shared_ptr<CommandBuffer> cb(new CommandBuffer(std::move(queue)));
    const auto& device = cb->device();
    VkDevice vk = device->vk();

    // A pool per command buffer: recording happens on whichever thread Python
    // calls from, and pools may not be shared across threads without a lock.
    VkCommandPoolCreateInfo poolInfo{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    poolInfo.flags = VK_COMMAND_POOL_CREATE_TRANSIENT_BIT;
    poolInfo.queueFamilyIndex = device->queueFamily();
    if (VkResult r = vkCreateCommandPool(vk, &poolInfo, nullptr, &cb->pool_); r != VK_SUCCESS) {
        cb->pool_ = VK_NULL_HANDLE;
        return vkError(r, "vkCreateCommandPool");
    }
    VkCommandBufferAllocateInfo allocInfo{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
    allocInfo.commandPool = cb->pool_;
    allocInfo.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    allocInfo.commandBufferCount = 1;
    if (VkResult r = vkAllocateCommandBuffers(vk, &allocInfo, &cb->commandBuffer_); r != VK_SUCCESS) {
        cb->commandBuffer_ = VK_NULL_HANDLE;
        return vkError(r, "vkAllocateCommandBuffers");
    }
    VkFenceCreateInfo fenceInfo{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
    if (VkResult r = vkCreateFence(vk, &fenceInfo, nullptr, &cb->fence_); r != VK_SUCCESS) {
        cb->fence_ = VK_NULL_HANDLE;
        return vkError(r, "vkCreateFence");
    }
    VkCommandBufferBeginInfo begin{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    if (VkResult r = vkBeginCommandBuffer(cb->commandBuffer_, &begin); r != VK_SUCCESS) {
        return vkError(r, "vkBeginCommandBuffer");
    }
    return cb;
}

CommandBuffer::~CommandBuffer()
{
    VkDevice vk = device()->vk();
    if (fence_) vkDestroyFence(vk, fence_, nullptr);
    if (pool_) vkDestroyCommandPool(vk, pool_, nullptr);  // frees commandBuffer_ too
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

void CommandBuffer::commit()
{
    {
        std::lock_guard lock(mutex_);
        if (status_ != CommandBufferStatus::NotEnqueued) return;
        status_ = CommandBufferStatus::Committed;
    }
    VkResult r = vkEndCommandBuffer(commandBuffer_);
    if (r == VK_SUCCESS) {
        VkCommandBufferSubmitInfo cbInfo{VK_STRUCTURE_TYPE_COMMAND_BUFFER_SUBMIT_INFO};
        cbInfo.commandBuffer = commandBuffer_;
        VkSubmitInfo2 submit{VK_STRUCTURE_TYPE_SUBMIT_INFO_2};
        submit.waitSemaphoreInfoCount = static_cast<uint32_t>(waits_.size());
        submit.pWaitSemaphoreInfos = waits_.data();
        submit.commandBufferInfoCount = 1;
        submit.pCommandBufferInfos = &cbInfo;
        submit.signalSemaphoreInfoCount = static_cast<uint32_t>(signals_.size());
        submit.pSignalSemaphoreInfos = signals_.data();
        auto& device = *this->device();
        std::lock_guard lock(device.queueMutex());
        r = vkQueueSubmit2(device.queue(), 1, &submit, fence_);
    }
    if (r != VK_SUCCESS) {
        error_ = vkError(r, "vkQueueSubmit2").reason;
        finish(CommandBufferStatus::Error);
        return;
    }
    queue_->track(shared_from_this());
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
    std::unique_lock lock(mutex_);
    completed_.wait(lock, [&] {
        return status_ == CommandBufferStatus::Completed || status_ == CommandBufferStatus::Error ||
               status_ == CommandBufferStatus::NotEnqueued;
    });
}

CommandBufferStatus CommandBuffer::status()
{
    std::lock_guard lock(mutex_);
    return status_;
}

void CommandBuffer::copyBuffer(const std::shared_ptr<Buffer>& source, uint64_t sourceOffset,
                               const std::shared_ptr<Buffer>& destination, uint64_t destinationOffset, uint64_t size)
{
    VkBufferCopy region{sourceOffset, destinationOffset, size};
    vkCmdCopyBuffer(commandBuffer_, source->vk(), destination->vk(), 1, &region);
    retain(source);
    retain(destination);
}

void CommandBuffer::memoryBarrier()
{
    VkMemoryBarrier2 barrier{VK_STRUCTURE_TYPE_MEMORY_BARRIER_2};
    barrier.srcStageMask = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT;
    barrier.srcAccessMask = VK_ACCESS_2_MEMORY_WRITE_BIT;
    barrier.dstStageMask = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT;
    barrier.dstAccessMask = VK_ACCESS_2_MEMORY_READ_BIT | VK_ACCESS_2_MEMORY_WRITE_BIT;
    VkDependencyInfo dep{VK_STRUCTURE_TYPE_DEPENDENCY_INFO};
    dep.memoryBarrierCount = 1;
    dep.pMemoryBarriers = &barrier;
    vkCmdPipelineBarrier2(commandBuffer_, &dep);
}

}  // namespace quendal::gpu
