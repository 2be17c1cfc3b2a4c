// Blit passes: copies of textures into buffers and mipmap generation, in a
// command buffer of the window's own that end_blit submits and waits for.
#include <memory>
#include <string>

#include "metal/functions.hpp"
#include "metal/pass.hpp"
#include "metal/state.hpp"
#include "metal/texture.hpp"
#include "platform/gpu/blit_command_encoder.hpp"
#include "python_runtime/main_thread.hpp"

namespace quendal::metal {
namespace {

constexpr const char* kWindowNotFound = "_metal window handle not found.";
constexpr const char* kHandleNotFound = "_metal handle not found.";
constexpr const char* kNoBlitPass = "begin_blit() must be called first.";
constexpr const char* kTooSmall = "The destination buffer or row stride is too small.";

}  // namespace

PyObject* metal_begin_blit(PyObject*, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    const char* error = nullptr;
    runOnMainSync([&] {
        std::lock_guard lock(gStateMutex);
        auto it = gWindows.find(handle);
        if (it == gWindows.end()) {
            error = kWindowNotFound;
            return;
        }
        WindowRecord& record = it->second;
        if (record.blitActive) {
            error = "A blit pass is already active.";
            return;
        }
        if (record.frameActive) {
            error = "End the render pass before starting a blit pass.";
            return;
        }
        // Offscreen frames rendered before the pass reach the GPU ahead of it,
        // so a copy of their target sees their pixels.
        if (record.pendingCommandBuffer) {
            record.pendingCommandBuffer->commit();
            record.pendingCommandBuffer.reset();
        }
        // A command buffer that cannot be made leaves the encoder null: the
        // encoding functions then ask for begin_blit().
        if (auto commandBuffer = commandQueue()->commandBuffer()) {
            record.blitCommandBuffer = std::move(commandBuffer.value());
            record.blitEncoder = std::make_shared<gpu::BlitCommandEncoder>(record.blitCommandBuffer);
        }
        record.blitActive = true;
    });
    if (error) {
        PyErr_SetString(PyExc_RuntimeError, error);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* metal_copy_texture_to_buffer(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"window", "texture", "buffer", "bytes_per_row", nullptr};
    long long windowHandle = 0;
    long long textureHandle = 0;
    long long bufferHandle = 0;
    long long bytesPerRow = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LLL|L", const_cast<char**>(kwlist), &windowHandle,
                                     &textureHandle, &bufferHandle, &bytesPerRow)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    auto window = gWindows.find(windowHandle);
    auto texture = gTextures.find(textureHandle);
    auto buffer = gBuffers.find(bufferHandle);
    if (window == gWindows.end() || texture == gTextures.end() || buffer == gBuffers.end()) {
        PyErr_SetString(PyExc_KeyError, kHandleNotFound);
        return nullptr;
    }
    if (!window->second.blitActive || !window->second.blitEncoder) {
        PyErr_SetString(PyExc_RuntimeError, kNoBlitPass);
        return nullptr;
    }
    const TextureRecord& source = texture->second;
    if (!QuendalPyCheckNotRenderingInto(*source.texture)) return nullptr;
    const uint64_t rowBytes = source.width * textureBytesPerPixel(source.pixelFormat);
    if (bytesPerRow < 0) {
        PyErr_SetString(PyExc_ValueError, kTooSmall);
        return nullptr;
    }
    const uint64_t stride = bytesPerRow == 0 ? rowBytes : static_cast<uint64_t>(bytesPerRow);
    if (stride < rowBytes || (stride ? buffer->second.buffer->length() / stride : 0) < source.height) {
        PyErr_SetString(PyExc_ValueError, kTooSmall);
        return nullptr;
    }
    auto copied = window->second.blitEncoder->copyFromTexture(source.texture, buffer->second.buffer, 0, stride);
    if (!copied) {
        QuendalPySetError(PyExc_RuntimeError, "Cannot copy this texture: " + copied.error().reason + ".");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* metal_generate_mipmaps(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"window", "texture", nullptr};
    long long windowHandle = 0;
    long long textureHandle = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LL", const_cast<char**>(kwlist), &windowHandle,
                                     &textureHandle)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    auto window = gWindows.find(windowHandle);
    auto texture = gTextures.find(textureHandle);
    if (window == gWindows.end() || texture == gTextures.end()) {
        PyErr_SetString(PyExc_KeyError, kHandleNotFound);
        return nullptr;
    }
    if (!window->second.blitActive || !window->second.blitEncoder) {
        PyErr_SetString(PyExc_RuntimeError, kNoBlitPass);
        return nullptr;
    }
    if (!QuendalPyCheckNotRenderingInto(*texture->second.texture)) return nullptr;
    auto generated = window->second.blitEncoder->generateMipmaps(texture->second.texture);
    if (!generated) {
        QuendalPySetError(PyExc_RuntimeError, "Cannot generate mipmaps: " + generated.error().reason + ".");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* metal_end_blit(PyObject*, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    std::string error;
    runOnMainSync([&] {
        std::lock_guard lock(gStateMutex);
        auto it = gWindows.find(handle);
        if (it == gWindows.end()) {
            error = kWindowNotFound;
            return;
        }
        WindowRecord& record = it->second;
        if (!record.blitActive) {
            error = "No blit pass active.";
            return;
        }
        error = QuendalPyFinishPass(record.blitEncoder, record.blitCommandBuffer, record.blitActive, "blit");
    });
    if (!error.empty()) {
        QuendalPySetError(PyExc_RuntimeError, error);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace quendal::metal
