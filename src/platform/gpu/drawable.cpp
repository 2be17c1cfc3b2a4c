#include "platform/gpu/drawable.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/metal_layer.hpp"
#include "platform/gpu/texture.hpp"

#include <X11/Xlib.h>
#define VK_USE_PLATFORM_XLIB_KHR
#include <vulkan/vulkan_xlib.h>
// Xlib's macros would shadow names of the facade.
#undef Status
#undef Bool
#undef None
#undef Always
#undef Success

namespace quendal::gpu {

namespace {

constexpr uint32_t kOffscreenDrawables = 3;
// A FIFO acquire normally returns within a refresh; a window that stays
// unmapped must not hang the main thread for ever.
constexpr uint64_t kAcquireTimeoutNs = 1'000'000'000;

}  // namespace

struct SurfaceHandle {
    std::shared_ptr<Device> device;
    NativeSurface source;
    VkSurfaceKHR surface = VK_NULL_HANDLE;
    ~SurfaceHandle()
    {
        if (surface) vkDestroySurfaceKHR(device->instance(), surface, nullptr);
    }
};

// One swapchain and what its images need; lives while a drawable of it does.
struct SwapchainImages {
    std::shared_ptr<Device> device;
    std::shared_ptr<SurfaceHandle> surface;
    VkSwapchainKHR swapchain = VK_NULL_HANDLE;
    VkExtent2D extent{};
    VkImageUsageFlags usage = 0;
    std::vector<VkImage> images;
    std::vector<VkSemaphore> renderFinished;
    std::atomic<bool> outOfDate{false};

    ~SwapchainImages()
    {
        VkDevice vk = device->vk();
        {
            // Presents and frames that use the images must be done with them.
            std::lock_guard lock(device->queueMutex());
            vkQueueWaitIdle(device->queue());
        }
        for (VkSemaphore s : renderFinished) vkDestroySemaphore(vk, s, nullptr);
        if (swapchain) vkDestroySwapchainKHR(vk, swapchain, nullptr);
    }
};

namespace {

VkSemaphore newSemaphore(VkDevice vk)
{
    VkSemaphoreCreateInfo info{VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO};
    VkSemaphore semaphore = VK_NULL_HANDLE;
    if (vkCreateSemaphore(vk, &info, nullptr, &semaphore) != VK_SUCCESS) return VK_NULL_HANDLE;
    return semaphore;
}

// Consumes a pending signal of semaphore, so that it can be destroyed.
void drainSemaphore(Device& device, VkSemaphore semaphore)
{
    VkDevice vk = device.vk();
    VkFenceCreateInfo fenceInfo{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
    VkFence fence = VK_NULL_HANDLE;
    if (vkCreateFence(vk, &fenceInfo, nullptr, &fence) != VK_SUCCESS) return;
    VkSemaphoreSubmitInfo wait{VK_STRUCTURE_TYPE_SEMAPHORE_SUBMIT_INFO};
    wait.semaphore = semaphore;
    wait.stageMask = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT;
    VkSubmitInfo2 submit{VK_STRUCTURE_TYPE_SUBMIT_INFO_2};
    submit.waitSemaphoreInfoCount = 1;
    submit.pWaitSemaphoreInfos = &wait;
    VkResult r;
    {
        std::lock_guard lock(device.queueMutex());
        r = vkQueueSubmit2(device.queue(), 1, &submit, fence);
    }
    if (r == VK_SUCCESS) vkWaitForFences(vk, 1, &fence, VK_TRUE, UINT64_MAX);
    vkDestroyFence(vk, fence, nullptr);
}

}  // namespace

Drawable::~Drawable()
{
    if (!acquired_ || !images_) return;
    Device& device = *images_->device;
    if (!presented_) {
        // An image acquired and never presented stays acquired: its swapchain
        // is retired at the next drawable.
        drainSemaphore(device, acquired_);
        images_->outOfDate = true;
    }
    vkDestroySemaphore(device.vk(), acquired_, nullptr);
}

void Drawable::present(CommandBuffer& commandBuffer)
{
    commandBuffer.retain(shared_from_this());
    if (!images_ || presented_) return;
    presented_ = true;
    commandBuffer.addWait(acquired_, VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT);
    VkSemaphore finished = images_->renderFinished[imageIndex_];
    commandBuffer.addSignal(finished);
    commandBuffer.addCommittedHandler([images = images_, index = imageIndex_, finished] {
        VkPresentInfoKHR info{VK_STRUCTURE_TYPE_PRESENT_INFO_KHR};
        info.waitSemaphoreCount = 1;
        info.pWaitSemaphores = &finished;
        info.swapchainCount = 1;
        info.pSwapchains = &images->swapchain;
        info.pImageIndices = &index;
        const VkResult r = vkQueuePresentKHR(images->device->queue(), &info);
        if (r != VK_SUCCESS) images->outOfDate = true;
    });
}

Swapchain::~Swapchain()
{
    discard();
}

void Swapchain::discard()
{
    images_.reset();
    offscreen_.clear();
    generation_ = UINT64_MAX;
}

Status Swapchain::rebuild(const MetalLayer& layer)
{
    generation_ = layer.generation();
    const NativeSurface source = layer.surfaceSource();
    if (!device_->supportsSwapchain()) {
        return Error{ErrorKind::Unsupported, "the device cannot present to X11 windows"};
    }
    std::shared_ptr<SurfaceHandle> surface = images_ ? images_->surface : nullptr;
    if (!surface || !(surface->source == source)) {
        images_.reset();
        surface = std::make_shared<SurfaceHandle>();
        surface->device = device_;
        surface->source = source;
        VkXlibSurfaceCreateInfoKHR info{VK_STRUCTURE_TYPE_XLIB_SURFACE_CREATE_INFO_KHR};
        info.dpy = static_cast<Display*>(source.xlibDisplay());
        info.window = static_cast<Window>(source.xlibWindow());
        if (VkResult r = vkCreateXlibSurfaceKHR(device_->instance(), &info, nullptr, &surface->surface); r != VK_SUCCESS) {
            surface->surface = VK_NULL_HANDLE;
            return vkError(r, "vkCreateXlibSurfaceKHR");
        }
        VkBool32 supported = VK_FALSE;
        vkGetPhysicalDeviceSurfaceSupportKHR(device_->physicalDevice(), device_->queueFamily(), surface->surface,
                                             &supported);
        if (!supported) return Error{ErrorKind::Unsupported, "the queue cannot present to the window"};
    }

    VkPhysicalDevice physical = device_->physicalDevice();
    VkSurfaceCapabilitiesKHR caps{};
    if (VkResult r = vkGetPhysicalDeviceSurfaceCapabilitiesKHR(physical, surface->surface, &caps); r != VK_SUCCESS) {
        return vkError(r, "vkGetPhysicalDeviceSurfaceCapabilitiesKHR");
    }
    VkExtent2D extent = caps.currentExtent;
    if (extent.width == UINT32_MAX) {
        const DrawableSize size = layer.drawableSize();
        extent.width = std::clamp(static_cast<uint32_t>(std::lround(std::max(size.width, 1.0))),
                                  caps.minImageExtent.width, caps.maxImageExtent.width);
        extent.height = std::clamp(static_cast<uint32_t>(std::lround(std::max(size.height, 1.0))),
                                   caps.minImageExtent.height, caps.maxImageExtent.height);
    }
    if (extent.width == 0 || extent.height == 0) {
        return Error{ErrorKind::SurfaceOutOfDate, "the window has no area to draw into"};
    }
    uint32_t formatCount = 0;
    vkGetPhysicalDeviceSurfaceFormatsKHR(physical, surface->surface, &formatCount, nullptr);
    std::vector<VkSurfaceFormatKHR> formats(formatCount);
    vkGetPhysicalDeviceSurfaceFormatsKHR(physical, surface->surface, &formatCount, formats.data());
    auto format = std::find_if(formats.begin(), formats.end(),
                               [](const VkSurfaceFormatKHR& f) { return f.format == VK_FORMAT_B8G8R8A8_UNORM; });
    if (format == formats.end()) return Error{ErrorKind::Unsupported, "the window cannot show BGRA8 images"};

    VkSwapchainCreateInfoKHR info{VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR};
    info.surface = surface->surface;
    info.minImageCount = caps.minImageCount + 1;
    if (caps.maxImageCount) info.minImageCount = std::min(info.minImageCount, caps.maxImageCount);
    info.imageFormat = format->format;
    info.imageColorSpace = format->colorSpace;
    info.imageExtent = extent;
    info.imageArrayLayers = 1;
    // Not framebuffer-only: drawables may be copied as well as rendered to.
    info.imageUsage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | (caps.supportedUsageFlags & VK_IMAGE_USAGE_TRANSFER_SRC_BIT);
    info.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
    info.preTransform = caps.currentTransform;
    info.compositeAlpha = (caps.supportedCompositeAlpha & VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR)
                              ? VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR
                              : static_cast<VkCompositeAlphaFlagBitsKHR>(caps.supportedCompositeAlpha &
                                                                         -caps.supportedCompositeAlpha);
    info.presentMode = VK_PRESENT_MODE_FIFO_KHR;
    info.clipped = VK_TRUE;
    info.oldSwapchain = images_ ? images_->swapchain : VK_NULL_HANDLE;

    auto made = std::make_shared<SwapchainImages>();
    made->device = device_;
    made->surface = surface;
    made->extent = extent;
    made->usage = info.imageUsage;
    VkDevice vk = device_->vk();
    if (VkResult r = vkCreateSwapchainKHR(vk, &info, nullptr, &made->swapchain); r != VK_SUCCESS) {
        made->swapchain = VK_NULL_HANDLE;
        return vkError(r, "vkCreateSwapchainKHR");
    }
    uint32_t count = 0;
    vkGetSwapchainImagesKHR(vk, made->swapchain, &count, nullptr);
    made->images.resize(count);
    vkGetSwapchainImagesKHR(vk, made->swapchain, &count, made->images.data());
    for (uint32_t i = 0; i < count; ++i) {
        VkSemaphore s = newSemaphore(vk);
        if (!s) return Error{ErrorKind::OutOfMemory, "vkCreateSemaphore failed"};
        made->renderFinished.push_back(s);
    }
    images_ = std::move(made);
    return success();
}

Result<std::shared_ptr<Drawable>> Swapchain::nextOffscreen(const MetalLayer& layer)
{
    images_.reset();
    const DrawableSize size = layer.drawableSize();
    const uint32_t width = static_cast<uint32_t>(std::lround(std::clamp(size.width, 1.0, 16384.0)));
    const uint32_t height = static_cast<uint32_t>(std::lround(std::clamp(size.height, 1.0, 16384.0)));
    if (offscreen_.empty() || offscreen_.front()->width() != width || offscreen_.front()->height() != height) {
        offscreen_.clear();
        TextureDescriptor d;
        d.pixelFormat = PixelFormat::BGRA8Unorm;
        d.width = width;
        d.height = height;
        d.usage = TextureUsageShaderRead | TextureUsageRenderTarget;
        for (uint32_t i = 0; i < kOffscreenDrawables; ++i) {
            auto texture = device_->newTexture(d);
            if (!texture) {
                offscreen_.clear();
                return texture.error();
            }
            offscreen_.push_back(texture.value());
        }
    }
    std::shared_ptr<Drawable> drawable(new Drawable());
    drawable->texture_ = offscreen_[nextOffscreen_++ % kOffscreenDrawables];
    return drawable;
}

Result<std::shared_ptr<Drawable>> Swapchain::nextDrawable(const MetalLayer& layer)
{
    if (layer.surfaceSource().headless()) return nextOffscreen(layer);
    offscreen_.clear();
    VkDevice vk = device_->vk();
    VkSemaphore acquired = newSemaphore(vk);
    if (!acquired) return Error{ErrorKind::OutOfMemory, "vkCreateSemaphore failed"};
    uint32_t index = 0;
    VkResult r = VK_ERROR_OUT_OF_DATE_KHR;
    for (int attempt = 0; attempt < 2 && r == VK_ERROR_OUT_OF_DATE_KHR; ++attempt) {
        bool stale = !images_ || images_->outOfDate || generation_ != layer.generation();
        if (!stale) {
            VkSurfaceCapabilitiesKHR caps{};
            if (vkGetPhysicalDeviceSurfaceCapabilitiesKHR(device_->physicalDevice(), images_->surface->surface,
                                                          &caps) == VK_SUCCESS &&
                caps.currentExtent.width != UINT32_MAX &&
                (caps.currentExtent.width != images_->extent.width ||
                 caps.currentExtent.height != images_->extent.height)) {
                stale = true;
            }
        }
        if (stale || attempt > 0) {
            if (auto rebuilt = rebuild(layer); !rebuilt) {
                vkDestroySemaphore(vk, acquired, nullptr);
                return rebuilt.error();
            }
        }
        r = vkAcquireNextImageKHR(vk, images_->swapchain, kAcquireTimeoutNs, acquired, VK_NULL_HANDLE, &index);
    }
    if (r == VK_SUBOPTIMAL_KHR) {
        images_->outOfDate = true;
    } else if (r != VK_SUCCESS) {
        vkDestroySemaphore(vk, acquired, nullptr);
        return vkError(r, "vkAcquireNextImageKHR");
    }

    TextureDescriptor d;
    d.pixelFormat = PixelFormat::BGRA8Unorm;
    d.width = images_->extent.width;
    d.height = images_->extent.height;
    d.usage = TextureUsageRenderTarget;
    std::shared_ptr<Drawable> drawable(new Drawable());
    drawable->images_ = images_;
    drawable->imageIndex_ = index;
    drawable->acquired_ = acquired;
    auto texture = Texture::wrap(device_, images_->images[index], d, images_->usage, VK_IMAGE_LAYOUT_PRESENT_SRC_KHR,
                                 images_);
    if (!texture) return texture.error();
    // The image's contents go: every frame clears it. Its first use waits on
    // the acquire semaphore at the colour-output stage.
    texture.value()->setTrackedState(VK_IMAGE_LAYOUT_UNDEFINED, VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT,
                                     VK_ACCESS_2_NONE);
    drawable->texture_ = std::move(texture.value());
    return drawable;
}

}  // namespace quendal::gpu
