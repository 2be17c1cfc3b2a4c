#include "platform/gpu/command_queue.hpp"

#include <chrono>

#include "platform/gpu/barriers.hpp"
#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/texture.hpp"

namespace quendal::gpu {

namespace {

// How long finished command buffers that nobody waits for may keep their
// resources.
constexpr auto kReapInterval = std::chrono::milliseconds(5);

// A set-up step holding more than this is submitted on its own, so that
// textures made and dropped while nothing is committed do not pile up.
constexpr uint64_t kSetUpBytesLimit = uint64_t{64} << 20;
constexpr size_t kSetUpRetainedLimit = 1024;

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
    if (completionThread_.joinable()) {
        // The completion thread itself may drop the last reference to its queue.
        if (completionThread_.get_id() == std::this_thread::get_id()) {
            completionThread_.detach();
        } else {
            completionThread_.join();
        }
    }
    // A set-up step never submitted: the GPU never saw it.
    if (setUpOpen_) destroySlot(setUp_);
    setUpRetained_.clear();
    for (const Slot& slot : freeSlots_) destroySlot(slot);
}

Result<std::shared_ptr<CommandBuffer>> CommandQueue::commandBuffer()
{
    return CommandBuffer::create(shared_from_this());
}

Result<CommandQueue::Slot> CommandQueue::acquireSlot()
{
    VkDevice vk = device_->vk();
    {
        std::unique_lock lock(slotsMutex_);
        if (!freeSlots_.empty()) {
            Slot slot = freeSlots_.back();
            freeSlots_.pop_back();
            lock.unlock();
            // The slot's last submission has completed, or it never had one.
            VkResult r = vkResetCommandPool(vk, slot.pool, 0);
            if (r == VK_SUCCESS) r = vkResetFences(vk, 1, &slot.fence);
            if (r != VK_SUCCESS) {
                destroySlot(slot);
                return vkError(r, "vkResetCommandPool");
            }
            return slot;
        }
    }
    Slot slot;
    VkCommandPoolCreateInfo poolInfo{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    poolInfo.flags = VK_COMMAND_POOL_CREATE_TRANSIENT_BIT;
    poolInfo.queueFamilyIndex = device_->queueFamily();
    if (VkResult r = vkCreateCommandPool(vk, &poolInfo, nullptr, &slot.pool); r != VK_SUCCESS) {
        return vkError(r, "vkCreateCommandPool");
    }
    device_->noteCreated(&DeviceStatistics::commandPools);
    VkCommandBufferAllocateInfo allocInfo{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
    allocInfo.commandPool = slot.pool;
    allocInfo.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    allocInfo.commandBufferCount = 1;
    if (VkResult r = vkAllocateCommandBuffers(vk, &allocInfo, &slot.commandBuffer); r != VK_SUCCESS) {
        slot.commandBuffer = VK_NULL_HANDLE;
        destroySlot(slot);
        return vkError(r, "vkAllocateCommandBuffers");
    }
    device_->noteCreated(&DeviceStatistics::commandBuffers);
    VkFenceCreateInfo fenceInfo{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
    if (VkResult r = vkCreateFence(vk, &fenceInfo, nullptr, &slot.fence); r != VK_SUCCESS) {
        slot.fence = VK_NULL_HANDLE;
        destroySlot(slot);
        return vkError(r, "vkCreateFence");
    }
    device_->noteCreated(&DeviceStatistics::fences);
    return slot;
}

void CommandQueue::releaseSlot(Slot slot)
{
    std::lock_guard lock(slotsMutex_);
    freeSlots_.push_back(slot);
}

void CommandQueue::destroySlot(Slot slot)
{
    VkDevice vk = device_->vk();
    if (slot.fence) vkDestroyFence(vk, slot.fence, nullptr);
    if (slot.pool) vkDestroyCommandPool(vk, slot.pool, nullptr);  // frees the command buffer too
}

Status CommandQueue::recordSetUp(const std::function<void(VkCommandBuffer)>& record, std::shared_ptr<void> retained)
{
    std::lock_guard lock(setUpMutex_);
    if (!setUpOpen_) {
        auto slot = acquireSlot();
        if (!slot) return slot.error();
        VkCommandBufferBeginInfo begin{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
        begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
        if (VkResult r = vkBeginCommandBuffer(slot->commandBuffer, &begin); r != VK_SUCCESS) {
            releaseSlot(slot.value());
            return vkError(r, "vkBeginCommandBuffer");
        }
        setUp_ = slot.value();
        setUpOpen_ = true;
    }
    record(setUp_.commandBuffer);
    if (retained) setUpRetained_.push_back(std::move(retained));
    return success();
}

std::shared_ptr<void> CommandQueue::takeSetUp(VkCommandBuffer& commandBuffer)
{
    // Returns the slot to the queue once the submission that ran it is done.
    struct Submitted {
        Submitted(std::shared_ptr<CommandQueue> queue, Slot slot, std::vector<std::shared_ptr<void>> retained)
            : queue(std::move(queue)), slot(slot), retained(std::move(retained))
        {
        }
        Submitted(const Submitted&) = delete;
        Submitted& operator=(const Submitted&) = delete;
        std::shared_ptr<CommandQueue> queue;
        Slot slot;
        std::vector<std::shared_ptr<void>> retained;
        ~Submitted()
        {
            retained.clear();
            queue->releaseSlot(slot);
        }
    };
    std::lock_guard lock(setUpMutex_);
    if (!setUpOpen_) return nullptr;
    setUpOpen_ = false;
    setUpBytes_ = 0;
    auto submitted = std::make_shared<Submitted>(shared_from_this(), setUp_, std::move(setUpRetained_));
    setUpRetained_.clear();
    if (vkEndCommandBuffer(setUp_.commandBuffer) != VK_SUCCESS) return nullptr;  // dropped with its slot
    commandBuffer = setUp_.commandBuffer;
    return submitted;
}

Status CommandQueue::replaceTextureContents(const std::shared_ptr<Texture>& texture,
                                            const std::function<bool(uint8_t* rows)>& fill)
{
    Texture& t = texture->base_ ? *texture->base_ : *texture;
    if (t.sampleCount() != 1) return vkError(VK_ERROR_FORMAT_NOT_SUPPORTED, "filling a multisample texture");
    if (t.aspect() == (VK_IMAGE_ASPECT_DEPTH_BIT | VK_IMAGE_ASPECT_STENCIL_BIT)) {
        return vkError(VK_ERROR_FORMAT_NOT_SUPPORTED, "filling a texture with both depth and stencil");
    }
    const uint64_t rowBytes = uint64_t{t.width()} * bytesPerPixel(t.pixelFormat());
    const uint64_t size = rowBytes * t.height();  // both below 2^32 x 16: no overflow
    auto slice = staging_.allocate(size);
    if (!slice) return slice.error();
    if (!fill(slice->bytes)) return vkError(VK_ERROR_INITIALIZATION_FAILED, "making the texture's contents");

    size_t pending = 0;
    uint64_t pendingBytes = 0;
    {
        std::lock_guard layoutLock(t.layoutMutex_);
        if (t.placed_) return vkError(VK_ERROR_INITIALIZATION_FAILED, "filling a texture already in use");
        const Texture::RestingState resting = t.restingState();
        auto record = [&](VkCommandBuffer cb) {
            const ImageRange range{t.image(), t.aspect()};
            imageBarrier(cb, range, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, {},
                         {VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT});
            VkBufferImageCopy region{};
            region.bufferOffset = slice->offset;
            region.imageSubresource = {t.aspect(), 0, 0, 1};
            region.imageExtent = {t.width(), t.height(), 1};
            vkCmdCopyBufferToImage(cb, slice->buffer->vk(), t.image(), VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1,
                                   &region);
            imageBarrier(cb, range, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, resting.layout,
                         {VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT}, {resting.stages, resting.access});
        };
        struct Held {
            std::shared_ptr<Texture> texture;
            std::shared_ptr<void> lease;
        };
        auto held = std::make_shared<Held>(Held{texture, slice->lease});
        if (auto recorded = recordSetUp(record, std::move(held)); !recorded) return recorded;
        t.placed_ = true;
        std::lock_guard lock(setUpMutex_);
        setUpBytes_ += size;
        pending = setUpRetained_.size();
        pendingBytes = setUpBytes_;
    }
    if (pending > kSetUpRetainedLimit || pendingBytes > kSetUpBytesLimit) {
        // An empty command buffer carries the step to the GPU; nobody waits.
        if (auto carrier = commandBuffer()) carrier.value()->commit();
    }
    return success();
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
        VkResult r = VK_SUCCESS;
        VkFence fence = VK_NULL_HANDLE;
        {
            std::lock_guard commandsLock(next->mutex_);
            if (!next->executed_) fence = next->useFence();
        }
        if (fence) {
            VkDevice device = next->device()->vk();
            r = block ? vkWaitForFences(device, 1, &fence, VK_TRUE, UINT64_MAX) : vkGetFenceStatus(device, fence);
            next->doneWithFence(r == VK_SUCCESS);
        }
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
