#include "platform/gpu/command_buffer.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/texture.hpp"

namespace quendal::gpu {

namespace {

constexpr auto kPollBeforeSleep = std::chrono::microseconds(100);

// How one texture level is laid out in a buffer, checked against the buffer.
struct BufferLayout {
    VkImageAspectFlags aspect = 0;
    uint64_t rowBytes = 0;  // width x bytes per pixel
    uint64_t stride = 0;
    // Vulkan counts row lengths in texels and wants aligned offsets; other
    // layouts go through a packed staging buffer, row by row.
    bool direct = false;
};

Result<BufferLayout> bufferLayoutFor(const Texture& texture, const Buffer& buffer, uint64_t offset, uint64_t stride)
{
    if (texture.sampleCount() != 1) return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "a multisample texture cannot be copied"};
    const VkImageAspectFlags aspect = texture.aspect();
    if (aspect == (VK_IMAGE_ASPECT_DEPTH_BIT | VK_IMAGE_ASPECT_STENCIL_BIT)) {
        return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "a texture with both depth and stencil cannot be copied"};
    }
    // Depth is stored as 4 bytes in buffers, whatever bytesPerPixel counts.
    const uint64_t texelBytes = bytesPerPixel(texture.pixelFormat());
    BufferLayout layout;
    layout.aspect = aspect;
    layout.rowBytes = uint64_t{texture.width()} * texelBytes;
    layout.stride = stride ? stride : layout.rowBytes;
    if (layout.stride < layout.rowBytes) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "bytes per row is smaller than a row of the texture"};
    }
    uint64_t end = 0;
    if (__builtin_mul_overflow(layout.stride, uint64_t{texture.height()} - 1, &end) ||
        __builtin_add_overflow(end, layout.rowBytes, &end) || __builtin_add_overflow(end, offset, &end) ||
        end > buffer.length()) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "the texture's rows do not fit in the buffer"};
    }
    const uint64_t alignment = aspect == VK_IMAGE_ASPECT_COLOR_BIT ? texelBytes : 4;
    layout.direct = layout.stride % texelBytes == 0 && offset % alignment == 0 &&
                    layout.stride / texelBytes <= UINT32_MAX;
    return layout;
}

VkBufferImageCopy levelZeroCopy(const Texture& texture, const BufferLayout& layout, uint64_t offset, uint64_t stride)
{
    VkBufferImageCopy region{};
    region.bufferOffset = offset;
    region.bufferRowLength = static_cast<uint32_t>(stride / bytesPerPixel(texture.pixelFormat()));
    region.bufferImageHeight = texture.height();
    region.imageSubresource = {layout.aspect, 0, 0, 1};
    region.imageExtent = {texture.width(), texture.height(), 1};
    return region;
}

// Rows between a packed staging buffer and a strided one.
void copyRows(VkCommandBuffer cb, VkBuffer source, VkBuffer destination, uint64_t rows, uint64_t rowBytes,
              uint64_t sourceStart, uint64_t sourceStride, uint64_t destinationStart, uint64_t destinationStride)
{
    std::vector<VkBufferCopy> regions(rows);
    for (uint64_t y = 0; y < rows; ++y) {
        regions[y] = {sourceStart + y * sourceStride, destinationStart + y * destinationStride, rowBytes};
    }
    vkCmdCopyBuffer(cb, source, destination, static_cast<uint32_t>(regions.size()), regions.data());
}

void bufferBarrier(VkCommandBuffer cb, VkBuffer buffer, VkPipelineStageFlags2 srcStages, VkAccessFlags2 srcAccess,
                   VkPipelineStageFlags2 dstStages, VkAccessFlags2 dstAccess)
{
    VkBufferMemoryBarrier2 barrier{VK_STRUCTURE_TYPE_BUFFER_MEMORY_BARRIER_2};
    barrier.srcStageMask = srcStages;
    barrier.srcAccessMask = srcAccess;
    barrier.dstStageMask = dstStages;
    barrier.dstAccessMask = dstAccess;
    barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.buffer = buffer;
    barrier.size = VK_WHOLE_SIZE;
    VkDependencyInfo dep{VK_STRUCTURE_TYPE_DEPENDENCY_INFO};
    dep.bufferMemoryBarrierCount = 1;
    dep.pBufferMemoryBarriers = &barrier;
    vkCmdPipelineBarrier2(cb, &dep);
}

}  // namespace

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
    if (status_ == CommandBufferStatus::Completed) return success();
    // The fence, not the completion thread: that thread runs earlier command
    // buffers' handlers first, and those may need a lock this caller holds.
    lock.unlock();
    // Short passes finish within microseconds; polling a little first spares
    // the waiter a sleep whose wake-up costs more than the work (lavapipe on a
    // small virtual machine: about 40 us per pass). Yielding leaves the cores
    // to a software driver's threads.
    const VkDevice vk = device()->vk();
    const auto pollEnd = std::chrono::steady_clock::now() + kPollBeforeSleep;
    while (vkGetFenceStatus(vk, fence_) == VK_NOT_READY && std::chrono::steady_clock::now() < pollEnd) {
        std::this_thread::yield();
    }
    if (VkResult r = vkWaitForFences(vk, 1, &fence_, VK_TRUE, UINT64_MAX); r != VK_SUCCESS) {
        return vkError(r, "vkWaitForFences");
    }
    return success();
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

Status CommandBuffer::copyTextureToBuffer(const std::shared_ptr<Texture>& texture,
                                          const std::shared_ptr<Buffer>& buffer, uint64_t bufferOffset,
                                          uint64_t bytesPerRow)
{
    auto layout = bufferLayoutFor(*texture, *buffer, bufferOffset, bytesPerRow);
    if (!layout) return layout.error();
    std::shared_ptr<Buffer> staging;
    if (!layout->direct) {
        auto made = device()->newBuffer(layout->rowBytes * texture->height());
        if (!made) return made.error();
        staging = std::move(made.value());
    }

    // Earlier GPU work may still read or write the destination.
    bufferBarrier(commandBuffer_, buffer->vk(), VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT,
                  VK_ACCESS_2_MEMORY_WRITE_BIT, VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT);
    texture->transition(*this, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, VK_PIPELINE_STAGE_2_COPY_BIT,
                        VK_ACCESS_2_TRANSFER_READ_BIT);
    if (layout->direct) {
        const VkBufferImageCopy region = levelZeroCopy(*texture, *layout, bufferOffset, layout->stride);
        vkCmdCopyImageToBuffer(commandBuffer_, texture->image(), VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, buffer->vk(), 1,
                               &region);
    } else {
        const VkBufferImageCopy region = levelZeroCopy(*texture, *layout, 0, layout->rowBytes);
        vkCmdCopyImageToBuffer(commandBuffer_, texture->image(), VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, staging->vk(),
                               1, &region);
        bufferBarrier(commandBuffer_, staging->vk(), VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT,
                      VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_READ_BIT);
        copyRows(commandBuffer_, staging->vk(), buffer->vk(), texture->height(), layout->rowBytes, 0,
                 layout->rowBytes, bufferOffset, layout->stride);
        retain(staging);
    }
    // Completion alone does not make device writes visible to the host.
    bufferBarrier(commandBuffer_, buffer->vk(), VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT,
                  VK_PIPELINE_STAGE_2_HOST_BIT | VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT,
                  VK_ACCESS_2_HOST_READ_BIT | VK_ACCESS_2_MEMORY_READ_BIT | VK_ACCESS_2_MEMORY_WRITE_BIT);
    texture->rest(*this);
    retain(texture);
    retain(buffer);
    return success();
}

Status CommandBuffer::uploadToTexture(const std::shared_ptr<Buffer>& buffer, uint64_t bufferOffset,
                                      uint64_t bytesPerRow, const std::shared_ptr<Texture>& texture)
{
    auto layout = bufferLayoutFor(*texture, *buffer, bufferOffset, bytesPerRow);
    if (!layout) return layout.error();
    std::shared_ptr<Buffer> staging;
    if (!layout->direct) {
        auto made = device()->newBuffer(layout->rowBytes * texture->height());
        if (!made) return made.error();
        staging = std::move(made.value());
    }
    // Earlier GPU work may have written the source.
    bufferBarrier(commandBuffer_, buffer->vk(), VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT, VK_ACCESS_2_MEMORY_WRITE_BIT,
                  VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_READ_BIT);
    if (staging) {
        copyRows(commandBuffer_, buffer->vk(), staging->vk(), texture->height(), layout->rowBytes, bufferOffset,
                 layout->stride, 0, layout->rowBytes);
        bufferBarrier(commandBuffer_, staging->vk(), VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT,
                      VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_READ_BIT);
        retain(staging);
    }
    texture->transition(*this, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_PIPELINE_STAGE_2_COPY_BIT,
                        VK_ACCESS_2_TRANSFER_WRITE_BIT);
    const VkBufferImageCopy region = layout->direct ? levelZeroCopy(*texture, *layout, bufferOffset, layout->stride)
                                                    : levelZeroCopy(*texture, *layout, 0, layout->rowBytes);
    vkCmdCopyBufferToImage(commandBuffer_, layout->direct ? buffer->vk() : staging->vk(), texture->image(),
                           VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
    texture->rest(*this);
    retain(texture);
    retain(buffer);
    return success();
}

Status CommandBuffer::generateMipmaps(const std::shared_ptr<Texture>& texture)
{
    const uint32_t levels = texture->mipmapLevelCount();
    if (levels == 1) return success();
    const VkFormatFeatureFlags needed = VK_FORMAT_FEATURE_BLIT_SRC_BIT | VK_FORMAT_FEATURE_BLIT_DST_BIT;
    if (texture->sampleCount() != 1 || texture->aspect() != VK_IMAGE_ASPECT_COLOR_BIT ||
        (device()->formatProperties(texture->format()).optimalTilingFeatures & needed) != needed) {
        return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "the device cannot generate mipmaps for this texture"};
    }

    texture->transition(*this, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_PIPELINE_STAGE_2_BLIT_BIT,
                        VK_ACCESS_2_TRANSFER_WRITE_BIT);
    auto levelToSource = [&](uint32_t level) {
        VkImageMemoryBarrier2 barrier{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2};
        barrier.srcStageMask = VK_PIPELINE_STAGE_2_BLIT_BIT;
        barrier.srcAccessMask = VK_ACCESS_2_TRANSFER_WRITE_BIT;
        barrier.dstStageMask = VK_PIPELINE_STAGE_2_BLIT_BIT;
        barrier.dstAccessMask = VK_ACCESS_2_TRANSFER_READ_BIT;
        barrier.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
        barrier.newLayout = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
        barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
        barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
        barrier.image = texture->image();
        barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, level, 1, 0, 1};
        VkDependencyInfo dep{VK_STRUCTURE_TYPE_DEPENDENCY_INFO};
        dep.imageMemoryBarrierCount = 1;
        dep.pImageMemoryBarriers = &barrier;
        vkCmdPipelineBarrier2(commandBuffer_, &dep);
    };
    const VkFilter filter = texture->supportsLinearFiltering() ? VK_FILTER_LINEAR : VK_FILTER_NEAREST;
    for (uint32_t level = 1; level < levels; ++level) {
        levelToSource(level - 1);
        VkImageBlit blit{};
        blit.srcSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, level - 1, 0, 1};
        blit.srcOffsets[1] = {static_cast<int32_t>(std::max(1u, texture->width() >> (level - 1))),
                              static_cast<int32_t>(std::max(1u, texture->height() >> (level - 1))), 1};
        blit.dstSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, level, 0, 1};
        blit.dstOffsets[1] = {static_cast<int32_t>(std::max(1u, texture->width() >> level)),
                              static_cast<int32_t>(std::max(1u, texture->height() >> level)), 1};
        vkCmdBlitImage(commandBuffer_, texture->image(), VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, texture->image(),
                       VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &blit, filter);
    }
    levelToSource(levels - 1);
    // Every level is a blit source now; the last barrier made the writes available.
    texture->setTrackedState(VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, VK_PIPELINE_STAGE_2_BLIT_BIT,
                             VK_ACCESS_2_TRANSFER_READ_BIT);
    texture->rest(*this);
    retain(texture);
    return success();
}

Result<IndirectArguments> CommandBuffer::indirectArguments(const std::shared_ptr<Buffer>& buffer, uint64_t offset,
                                                           uint64_t size)
{
    if (!prologue_) {
        auto made = CommandBuffer::create(queue_);
        if (!made) return made.error();
        prologue_ = std::move(made.value());
    }
    auto arguments = indirectClamp_.add(*prologue_, buffer, offset, size);
    if (arguments) retain(arguments->buffer);
    return arguments;
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
