#include "platform/gpu/metal_layer.hpp"

#include "platform/gpu/drawable.hpp"

namespace quendal::gpu {

std::shared_ptr<Device> MetalLayer::device() const
{
    std::lock_guard lock(mutex_);
    return device_;
}

void MetalLayer::setDevice(std::shared_ptr<Device> device)
{
    std::lock_guard lock(mutex_);
    device_ = std::move(device);
}

PixelFormat MetalLayer::pixelFormat() const
{
    std::lock_guard lock(mutex_);
    return pixelFormat_;
}

void MetalLayer::setPixelFormat(PixelFormat format)
{
    std::lock_guard lock(mutex_);
    pixelFormat_ = format;
}

bool MetalLayer::framebufferOnly() const
{
    std::lock_guard lock(mutex_);
    return framebufferOnly_;
}

void MetalLayer::setFramebufferOnly(bool framebufferOnly)
{
    std::lock_guard lock(mutex_);
    framebufferOnly_ = framebufferOnly;
}

double MetalLayer::contentsScale() const
{
    std::lock_guard lock(mutex_);
    return contentsScale_;
}

void MetalLayer::setContentsScale(double scale)
{
    std::lock_guard lock(mutex_);
    contentsScale_ = scale;
}

DrawableSize MetalLayer::drawableSize() const
{
    std::lock_guard lock(mutex_);
    return drawableSize_;
}

void MetalLayer::setDrawableSize(DrawableSize size)
{
    std::lock_guard lock(mutex_);
    if (size.width == drawableSize_.width && size.height == drawableSize_.height) return;
    drawableSize_ = size;
    ++generation_;
}

NativeSurface MetalLayer::surfaceSource() const
{
    std::lock_guard lock(mutex_);
    return source_;
}

void MetalLayer::setSurfaceSource(NativeSurface source)
{
    std::lock_guard lock(mutex_);
    source_ = source;
    ++generation_;
}

uint64_t MetalLayer::generation() const
{
    std::lock_guard lock(mutex_);
    return generation_;
}

Result<std::shared_ptr<Drawable>> MetalLayer::nextDrawable()
{
    std::shared_ptr<Device> device = this->device();
    if (!device) return Error{VK_ERROR_INITIALIZATION_FAILED, "the layer has no device"};
    std::lock_guard lock(swapchainMutex_);
    if (!swapchain_) swapchain_ = std::make_shared<Swapchain>(device);
    return swapchain_->nextDrawable(*this);
}

void MetalLayer::discardDrawables()
{
    std::lock_guard lock(swapchainMutex_);
    swapchain_.reset();
}

}  // namespace quendal::gpu
