// Drawables of a presentation layer and the swapchain that hands them out.
//
// On X11 a layer's drawables are the images of a FIFO Vulkan swapchain on the
// layer's window (B8G8R8A8_UNORM, copyable as well as renderable): acquired with
// a binary semaphore that the frame's command buffer waits on, and presented
// after the command buffer signals a per-image semaphore. The swapchain is
// rebuilt when the layer's generation or the surface's extent changes, or the
// surface reports it out of date. A headless layer hands out a ring of
// offscreen BGRA8 textures of the drawable size.
//
// Swapchain is used on the main thread (the layer's thread); present() runs at
// commit on the committing thread, under the device's queue mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <vulkan/vulkan.h>

#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class CommandBuffer;
class Device;
class MetalLayer;
class Texture;
struct SwapchainImages;

class Drawable : public std::enable_shared_from_this<Drawable> {
public:
    ~Drawable();
    Drawable(const Drawable&) = delete;
    Drawable& operator=(const Drawable&) = delete;

    const std::shared_ptr<Texture>& texture() const { return texture_; }
    // Metal's presentDrawable: the command buffer waits for the image before it
    // runs and the image is presented once it has run. Call before commit.
    void present(CommandBuffer& commandBuffer);

private:
    friend class Swapchain;
    Drawable() = default;

    std::shared_ptr<Texture> texture_;
    std::shared_ptr<SwapchainImages> images_;  // null for offscreen drawables
    uint32_t imageIndex_ = 0;
    VkSemaphore acquired_ = VK_NULL_HANDLE;
    bool presented_ = false;
};

class Swapchain {
public:
    explicit Swapchain(std::shared_ptr<Device> device) : device_(std::move(device)) {}
    ~Swapchain();
    Swapchain(const Swapchain&) = delete;
    Swapchain& operator=(const Swapchain&) = delete;

    // The next drawable for the layer's current size and surface; error reason
    // says why none could be had (no surface support, zero size, timeout).
    Result<std::shared_ptr<Drawable>> nextDrawable(const MetalLayer& layer);
    // Lets go of the surface and images now (their window is going away);
    // drawables still in flight keep what they use until they finish.
    void discard();

private:
    Status rebuild(const MetalLayer& layer);
    Result<std::shared_ptr<Drawable>> nextOffscreen(const MetalLayer& layer);

    std::shared_ptr<Device> device_;
    uint64_t generation_ = UINT64_MAX;
    std::shared_ptr<SwapchainImages> images_;
    std::vector<std::shared_ptr<Texture>> offscreen_;
    uint32_t nextOffscreen_ = 0;
};

}  // namespace quendal::gpu
