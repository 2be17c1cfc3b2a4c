// Blit passes: copies of textures into buffers and mipmap generation, in a
// command buffer of the window's own (that of its pending offscreen frames when
// there are some) that end_blit submits and waits for.
#include <memory>
#include <string>

#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/pass.hpp"
#include "metal/state.hpp"
#include "metal/texture.hpp"
#include "platform/gpu/blit_command_encoder.hpp"

namespace quendal::metal {
namespace {

constexpr const char* kTooSmall = "The destination buffer or row stride is too small.";

// The window's open blit encoder, or null with RuntimeError raised.
gpu::BlitCommandEncoder* openBlitEncoder(WindowRecord& window)
{
    const auto& blit = window.passes.blit;
    if (blit.active && blit.encoder) return blit.encoder.get();
    PyErr_SetString(PyExc_RuntimeError, "begin_blit() must be called first.");
    return nullptr;
}

}  // namespace

PyObject* metal_begin_blit(PyObject*, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    return QuendalPyNoneUnlessFailed(
        QuendalPyWindowStep(handle, missing::kFrameWindow, [](WindowRecord& record, StepFailure& failure) {
            auto& blit = record.passes.blit;
            if (blit.active) return failure.setRuntime("A blit pass is already active.");
            if (record.passes.render.active) {
                return failure.setRuntime("End the render pass before starting a blit pass.");
            }
            // The pass records into the command buffer of the offscreen frames
            // rendered before it, after them, so a copy of their target sees
            // their pixels: one submit and one wait for frame and read-back.
            // A command buffer that cannot be made leaves the encoder null:
            // the encoding functions then ask for begin_blit().
            QuendalPyOpenPass(blit, std::move(record.passes.render.pendingCommandBuffer));
        }));
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
    WindowRecord* window = QuendalPyLookUp(gWindows, windowHandle, missing::kAnyHandle);
    TextureRecord* source = window ? QuendalPyLookUp(gTextures, textureHandle, missing::kAnyHandle) : nullptr;
    BufferRecord* buffer = source ? QuendalPyLookUp(gBuffers, bufferHandle, missing::kAnyHandle) : nullptr;
    if (!buffer) return nullptr;
    gpu::BlitCommandEncoder* encoder = openBlitEncoder(*window);
    if (!encoder || !QuendalPyCheckNotRenderingInto(*source->texture)) return nullptr;
    const uint64_t rowBytes = source->width * textureBytesPerPixel(source->pixelFormat);
    const uint64_t stride = bytesPerRow == 0 ? rowBytes : static_cast<uint64_t>(bytesPerRow);
    if (bytesPerRow < 0 || stride < rowBytes || (stride ? buffer->buffer->length() / stride : 0) < source->height) {
        PyErr_SetString(PyExc_ValueError, kTooSmall);
        return nullptr;
    }
    auto copied = encoder->copyFromTexture(source->texture, buffer->buffer, 0, stride);
    if (!copied) return QuendalPySetGpuError(copied.error(), "Cannot copy this texture: ", ".");
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
    WindowRecord* window = QuendalPyLookUp(gWindows, windowHandle, missing::kAnyHandle);
    TextureRecord* texture = window ? QuendalPyLookUp(gTextures, textureHandle, missing::kAnyHandle) : nullptr;
    if (!texture) return nullptr;
    gpu::BlitCommandEncoder* encoder = openBlitEncoder(*window);
    if (!encoder || !QuendalPyCheckNotRenderingInto(*texture->texture)) return nullptr;
    auto generated = encoder->generateMipmaps(texture->texture);
    if (!generated) return QuendalPySetGpuError(generated.error(), "Cannot generate mipmaps: ", ".");
    Py_RETURN_NONE;
}

PyObject* metal_end_blit(PyObject*, PyObject* args)
{
    return QuendalPyEndPass(args, missing::kFrameWindow, &ActivePasses::blit, "No blit pass active.", "blit");
}

}  // namespace quendal::metal
