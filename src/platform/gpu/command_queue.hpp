// A command queue: makes command buffers and runs their completion handlers on
// one completion thread of its own, the counterpart of the platform's completion
// threads. Thread-safe.
//
// What every command buffer needs is recycled: a command pool, its one command
// buffer and a fence come from the queue's free list and go back to it when the
// command buffer is released (by the completion thread, for committed ones).
//
// Set-up work that must precede any use of a resource (a new texture's first
// layout, its initial contents) is recorded into the queue's set-up step, which
// the next command buffer committed on this queue submits ahead of itself.
// Nothing waits for it on the CPU.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <vulkan/vulkan.h>

#include "platform/gpu/result.hpp"
#include "platform/gpu/staging_ring.hpp"

namespace quendal::gpu {

class CommandBuffer;
class Device;
class Texture;

class CommandQueue : public std::enable_shared_from_this<CommandQueue> {
public:
    static Result<std::shared_ptr<CommandQueue>> create(std::shared_ptr<Device> device);
    ~CommandQueue();
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    Result<std::shared_ptr<CommandBuffer>> commandBuffer();
    const std::shared_ptr<Device>& device() const { return device_; }

    // Fills level 0 of a texture nothing has used yet: fill writes the rows
    // packed (width x bytes per pixel apart) into staging memory, and the copy
    // runs in the set-up step, ahead of every command buffer committed on this
    // queue from now on. Refused for multisample and depth-plus-stencil
    // textures, for a texture already in use, and when fill returns false.
    Status replaceTextureContents(const std::shared_ptr<Texture>& texture,
                                  const std::function<bool(uint8_t* rows)>& fill);
    // Records into the set-up step; retained lives until the step has run.
    Status recordSetUp(const std::function<void(VkCommandBuffer)>& record, std::shared_ptr<void> retained);

    StagingRing& stagingRing() { return staging_; }

private:
    friend class CommandBuffer;
    explicit CommandQueue(std::shared_ptr<Device> device) : device_(device), staging_(std::move(device)) {}

    // A command pool with its one command buffer and a fence.
    struct Slot {
        VkCommandPool pool = VK_NULL_HANDLE;
        VkCommandBuffer commandBuffer = VK_NULL_HANDLE;
        VkFence fence = VK_NULL_HANDLE;
    };
    // A recycled slot, reset, or a new one.
    Result<Slot> acquireSlot();
    void releaseSlot(Slot slot);
    void destroySlot(Slot slot);

    // The set-up step recorded so far, ended, for the committing command buffer
    // to submit first and retain until it completes; null when there is none.
    // Called with the device's queue mutex held.
    std::shared_ptr<void> takeSetUp(VkCommandBuffer& commandBuffer);

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

    std::mutex slotsMutex_;
    std::vector<Slot> freeSlots_;

    // Lock order: a texture's layout lock, then setUpMutex_; the device's queue
    // mutex, then setUpMutex_.
    std::mutex setUpMutex_;
    bool setUpOpen_ = false;
    Slot setUp_;
    std::vector<std::shared_ptr<void>> setUpRetained_;
    uint64_t setUpBytes_ = 0;
    StagingRing staging_;
};

}  // namespace quendal::gpu
