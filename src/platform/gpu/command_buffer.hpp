// A command buffer: records encoders' commands into one Vulkan command buffer,
// is committed once, and keeps every resource it was given alive until the GPU
// has finished with it (resources are retained as with Metal).
//
// Recording (encoders, retain) is done by one thread at a time; commit,
// status and waitUntilCompleted may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <vulkan/vulkan.h>

#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/indirect_clamp.hpp"
#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class Buffer;
class CommandQueue;
class Device;
class Texture;

enum class CommandBufferStatus { NotEnqueued, Committed, Completed, Error };

class CommandBuffer : public std::enable_shared_from_this<CommandBuffer> {
public:
    using Handler = std::function<void(CommandBuffer&)>;

    static Result<std::shared_ptr<CommandBuffer>> create(std::shared_ptr<CommandQueue> queue);
    ~CommandBuffer();
    CommandBuffer(const CommandBuffer&) = delete;
    CommandBuffer& operator=(const CommandBuffer&) = delete;

    VkCommandBuffer vk() const { return slot_.commandBuffer; }
    const std::shared_ptr<Device>& device() const;
    const std::shared_ptr<CommandQueue>& commandQueue() const { return queue_; }

    // Keeps an object alive until the command buffer has completed.
    void retain(std::shared_ptr<void> object);

    // Runs on the queue's completion thread once the GPU has finished (or the
    // submit failed). Add before commit.
    void addCompletedHandler(Handler handler);

    // Waits on these binary semaphores before the commands run / signals these
    // after. Add before commit (swapchain acquire and present).
    void addWait(VkSemaphore semaphore, VkPipelineStageFlags2 stages);
    void addSignal(VkSemaphore semaphore);
    // Runs on the committing thread right after a successful submit, holding the
    // device's queue mutex (presentation). Add before commit.
    void addCommittedHandler(std::function<void()> handler);

    // Ends recording and submits, after the queue's set-up step if it has one.
    // A second commit is ignored.
    void commit();
    // Returns once the command buffer has completed and its handlers have run.
    void waitUntilCompleted();
    // Returns once the GPU has finished the commands, without waiting for the
    // completion handlers of this or earlier command buffers (which may take
    // locks the caller holds). An error when the submit or the GPU failed.
    Status waitUntilExecuted();
    CommandBufferStatus status();
    const std::string& errorReason() const { return error_; }

    // A full memory barrier between everything recorded so far and what follows.
    void memoryBarrier();

    // Where an indirect draw of this command buffer reads its arguments: a
    // clamped copy of the size bytes at offset of buffer, made on the GPU right
    // before this command buffer runs (see indirect_clamp.hpp).
    Result<IndirectArguments> indirectArguments(const std::shared_ptr<Buffer>& buffer, uint64_t offset,
                                                uint64_t size);

private:
    friend class CommandQueue;
    explicit CommandBuffer(std::shared_ptr<CommandQueue> queue) : queue_(std::move(queue)) {}
    void finish(CommandBufferStatus status);
    // The fence of a submitted command buffer, for a wait outside mutex_ (held
    // when calling useFence), and the end of that wait. The slot goes back to
    // the queue as soon as its fence has been seen signalled and nobody waits on it.
    VkFence useFence();
    void doneWithFence(bool signalled);

    std::shared_ptr<CommandQueue> queue_;
    // Committed just before this one: the copies and clamping of indirect draw
    // arguments, which cannot be recorded inside a render pass.
    std::shared_ptr<CommandBuffer> prologue_;
    IndirectClamp indirectClamp_;
    CommandQueue::Slot slot_;  // the queue's, back to it when this is released
    std::vector<std::shared_ptr<void>> retained_;
    std::vector<Handler> handlers_;
    std::vector<std::function<void()>> committedHandlers_;
    std::vector<VkSemaphoreSubmitInfo> waits_;
    std::vector<VkSemaphoreSubmitInfo> signals_;
    std::mutex mutex_;
    std::condition_variable completed_;
    CommandBufferStatus status_ = CommandBufferStatus::NotEnqueued;
    bool submitted_ = false;  // the fence will be signalled
    bool executed_ = false;   // the fence was seen signalled
    int fenceUsers_ = 0;
    // Guarded by the queue's completion mutex.
    bool tracked_ = false;  // in the queue's in-flight list
    bool urgent_ = false;   // has handlers or a waiter in waitUntilCompleted
    std::string error_;
};

}  // namespace quendal::gpu
