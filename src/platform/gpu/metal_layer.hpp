// The presentation layer of a window (the counterpart of CAMetalLayer): the
// device and pixel format its drawables use, the contents scale, the drawable
// size in pixels, and the native surface of its window (see native_surface.hpp),
// which is headless for a headless window, whose drawables are offscreen images.
//
// Thread-safe: properties are set on the main thread and read from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/gpu/pixel_format.hpp"
#include "platform/gpu/result.hpp"
#include "platform/native_surface.hpp"

namespace quendal::gpu {

class Device;
class Drawable;
class Swapchain;

struct DrawableSize {
    double width = 0;
    double height = 0;
};

class MetalLayer {
public:
    MetalLayer() = default;
    MetalLayer(const MetalLayer&) = delete;
    MetalLayer& operator=(const MetalLayer&) = delete;

    std::shared_ptr<Device> device() const { return read(device_); }
    void setDevice(std::shared_ptr<Device> device) { write(device_, std::move(device)); }

    PixelFormat pixelFormat() const { return read(pixelFormat_); }
    void setPixelFormat(PixelFormat format) { write(pixelFormat_, format); }

    // False lets drawable textures be sampled and copied as well as rendered to.
    bool framebufferOnly() const { return read(framebufferOnly_); }
    void setFramebufferOnly(bool framebufferOnly) { write(framebufferOnly_, framebufferOnly); }

    double contentsScale() const { return read(contentsScale_); }
    void setContentsScale(double scale) { write(contentsScale_, scale); }

    DrawableSize drawableSize() const { return read(drawableSize_); }
    void setDrawableSize(DrawableSize size);

    NativeSurface surfaceSource() const { return read(source_); }
    void setSurfaceSource(NativeSurface source);

    // Grows whenever drawable size or surface source change, so that a swapchain
    // built for an older value can tell it must be rebuilt.
    uint64_t generation() const { return read(generation_); }

    // The next drawable of the layer's size (drawable.hpp). Main thread.
    Result<std::shared_ptr<Drawable>> nextDrawable();
    // Lets go of the window surface and drawables before the window goes.
    void discardDrawables();

private:
    template <class T>
    T read(const T& field) const
    {
        std::lock_guard lock(mutex_);
        return field;
    }
    template <class T>
    void write(T& field, T value)
    {
        std::lock_guard lock(mutex_);
        field = std::move(value);
    }

    std::mutex swapchainMutex_;
    std::shared_ptr<Swapchain> swapchain_;
    mutable std::mutex mutex_;
    std::shared_ptr<Device> device_;
    PixelFormat pixelFormat_ = PixelFormat::BGRA8Unorm;
    bool framebufferOnly_ = true;
    double contentsScale_ = 1.0;
    DrawableSize drawableSize_;
    NativeSurface source_;
    uint64_t generation_ = 0;
};

}  // namespace quendal::gpu
