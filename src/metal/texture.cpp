// Textures: render targets allocated on the GPU, and image files decoded into
// premultiplied BGRA on the main thread.
#include "metal/texture.hpp"

#include <cstring>
#include <functional>
#include <exception>
#include <string>

#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/pixel_format.hpp"
#include "metal/state.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/image/bitmap_context.hpp"
#include "platform/image/image_source.hpp"
#include "python_runtime/main_thread.hpp"
#include "runtime/file_access.hpp"

namespace quendal::metal {

namespace {

// The record is in the registry by now; if the dict cannot be made, nobody
// could ever name the texture, so it goes again.
PyObject* textureResult(int64_t handle, uint32_t width, uint32_t height)
{
    PyObject* result = Py_BuildValue("{s:L,s:(II)}", "handle", static_cast<long long>(handle), "size",
                                     static_cast<unsigned int>(width), static_cast<unsigned int>(height));
    if (!result) QuendalPyForgetTexture(handle);
    return result;
}

// Decodes path into a new image texture and registers it. Main thread, no
// interpreter lock needed; reports through the handle, size and error text.
void QuendalPyLoadImageTexture(const std::string& path, int64_t& handle, uint32_t& width, uint32_t& height,
                               const char*& error)
{
    QuendalPyFileAccess access(path);

    auto source = image::ImageSource::createWithPath(path);
    if (!source) {
        error = "Failed to load image file.";
        return;
    }
    // A small file can declare an image far larger than any texture; decoding
    // it would only exhaust memory before the device refused it.
    if (auto declared = source->pixelSizeAtIndex(0)) {
        const uint32_t maxSide = device()->maxTextureSide();
        if (declared->first > maxSide || declared->second > maxSide) {
            error = "Failed to create texture.";
            return;
        }
    }
    auto decoded = source->createImageAtIndex(0);
    source.reset();
    if (!decoded) {
        error = "Failed to decode image file.";
        return;
    }
    const uint32_t w = decoded->width();
    const uint32_t h = decoded->height();

    auto texture = QuendalPyMakeBitmapTexture(w, h, [&](uint8_t* pixels) {
        image::BitmapContext context(pixels, w, h, size_t{w} * 4);
        return context.valid() && context.copyImage(*decoded);
    });
    decoded.reset();
    if (!texture) {
        error = "Failed to create texture.";
        return;
    }

    handle = QuendalPyNextHandle();
    width = w;
    height = h;
    std::lock_guard lock(gStateMutex);
    gTextures.emplace(handle, TextureRecord{handle, std::move(texture), w, h,
                                            static_cast<uint64_t>(gpu::PixelFormat::BGRA8Unorm)});
}

}  // namespace

void QuendalPyForgetTexture(int64_t handle)
{
    QuendalPyErase(gTextures, handle);
}

std::shared_ptr<gpu::Texture> QuendalPyMakeBitmapTexture(uint32_t width, uint32_t height,
                                                         const std::function<bool(uint8_t* pixels)>& draw)
{
    gpu::TextureDescriptor descriptor;
    descriptor.pixelFormat = gpu::PixelFormat::BGRA8Unorm;
    descriptor.width = width;
    descriptor.height = height;
    descriptor.usage = gpu::TextureUsageShaderRead;
    auto texture = device()->newTexture(descriptor);
    if (!texture) return nullptr;

    // The bitmap is drawn straight into staging memory; the copy runs ahead of
    // the next command buffer, and nothing waits for it here.
    const uint64_t bytesPerRow = uint64_t{width} * 4;
    auto filled = commandQueue()->replaceTextureContents(texture.value(), [&](uint8_t* pixels) {
        std::memset(pixels, 0, bytesPerRow * height);
        return draw(pixels);
    });
    if (!filled) return nullptr;
    return std::move(texture.value());
}

PyObject* metal_create_render_texture(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"width", "height", "format", nullptr};
    long long width = 0;
    long long height = 0;
    const char* format = "bgra8";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LL|s", const_cast<char**>(kwlist), &width, &height, &format)) {
        return nullptr;
    }
    if (!QuendalPyEnsureDevice("Metal device is unavailable on this device.")) return nullptr;
    if (width < 1 || height < 1) {
        PyErr_SetString(PyExc_ValueError, "Render texture dimensions must be positive.");
        return nullptr;
    }
    const gpu::PixelFormat pixelFormat = pixelFormatFromName(format);

    // Sizes past 32 bits cannot be described to the device; it would return none.
    std::shared_ptr<gpu::Texture> texture;
    if (width <= UINT32_MAX && height <= UINT32_MAX) {
        gpu::TextureDescriptor descriptor;
        descriptor.pixelFormat = pixelFormat;
        descriptor.width = static_cast<uint32_t>(width);
        descriptor.height = static_cast<uint32_t>(height);
        descriptor.usage = gpu::TextureUsageShaderRead | gpu::TextureUsageShaderWrite | gpu::TextureUsageRenderTarget;
        if (auto made = device()->newTexture(descriptor)) texture = std::move(made.value());
    }
    if (!texture) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to allocate Metal render texture.");
        return nullptr;
    }

    const int64_t handle = QuendalPyNextHandle();
    {
        std::lock_guard lock(gStateMutex);
        gTextures.emplace(handle, TextureRecord{handle, std::move(texture), static_cast<uint64_t>(width),
                                                static_cast<uint64_t>(height), static_cast<uint64_t>(pixelFormat)});
    }
    return textureResult(handle, static_cast<uint32_t>(width), static_cast<uint32_t>(height));
}

PyObject* metal_create_image_texture(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"path", nullptr};
    const char* path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s", const_cast<char**>(kwlist), &path)) return nullptr;
    if (!QuendalPyEnsureDevice("Metal unavailable.")) return nullptr;

    const std::string pathText(path);
    int64_t handle = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    const char* error = nullptr;
    runOnMainSync([&] {
        try {
            QuendalPyLoadImageTexture(pathText, handle, width, height, error);
        } catch (const std::exception&) {
            // Out of memory while building the texture: nothing was registered.
            error = "Failed to create texture.";
        }
    });
    if (error) {
        PyErr_SetString(PyExc_RuntimeError, error);
        return nullptr;
    }
    return textureResult(handle, width, height);
}

PyObject* metal_destroy_texture(PyObject*, PyObject* args)
{
    return QuendalPyDestroy(gTextures, args);
}

}  // namespace quendal::metal
