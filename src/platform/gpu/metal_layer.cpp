#include "platform/gpu/metal_layer.hpp"

#include "platform/gpu/drawable.hpp"

namespace quendal::gpu {

void MetalLayer::setDrawableSize(DrawableSize size)
{
    std::lock_guard lock(mutex_);
    if (size.width == drawableSize_.width && size.height == drawableSize_.height) return;
    drawableSize_ = size;
    ++generation_;
}

void MetalLayer::setSurfaceSource(NativeSurface source)
{
    std::lock_guard lock(mutex_);
    source_ = source;
    ++generation_;
}

Result<std::shared_ptr<Drawable>> MetalLayer::nextDrawable()
{
    std::shared_ptr<Device> device = this->device();
    if (!device) return Error{ErrorKind::InitializationFailed, "the layer has no device"};
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
