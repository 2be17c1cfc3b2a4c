// Resource diagnostics: one consistent snapshot of the registries, the windows'
// pass and frame state, and the process's memory as the kernel reports it.
#include <cstdint>

#include "metal/functions.hpp"
#include "metal/state.hpp"
#include "metal/texture.hpp"
#include "platform/process/memory.hpp"

namespace quendal::metal {

PyObject* metal_resource_counts(PyObject*, PyObject*)
{
    // Read before locking: /proc is slow next to the registry walk.
    const uint64_t residentBytes = process::residentBytes();
    const uint64_t physicalFootprintBytes = process::physicalFootprintBytes();

    std::lock_guard lock(gStateMutex);
    uint64_t bufferBytes = 0;
    for (const auto& [handle, record] : gBuffers) bufferBytes += record.buffer ? record.buffer->length() : 0;
    uint64_t textureBytes = 0;
    for (const auto& [handle, record] : gTextures) textureBytes += estimatedTextureBytes(record.texture.get());

    uint64_t windowTextureBytes = 0;
    uint64_t activeFrames = 0;
    uint64_t activeComputePasses = 0;
    uint64_t activeBlitPasses = 0;
    uint64_t offscreenCommandBuffers = 0;
    uint64_t frameAutoreleasePools = 0;
    uint64_t submittedFrames = 0;
    uint64_t completedFrames = 0;
    uint64_t inflightFrames = 0;
    for (const auto& [handle, record] : gWindows) {
        windowTextureBytes += estimatedTextureBytes(record.msaaTexture.get()) +
                              estimatedTextureBytes(record.depthTexture.get()) +
                              estimatedTextureBytes(record.stencilTexture.get());
        activeFrames += record.frameActive ? 1 : 0;
        activeComputePasses += record.computeActive ? 1 : 0;
        activeBlitPasses += record.blitActive ? 1 : 0;
        offscreenCommandBuffers += record.pendingCommandBuffer ? 1 : 0;
        frameAutoreleasePools += record.framePool ? 1 : 0;
        submittedFrames += record.framesSubmitted;
        completedFrames += record.framesCompleted;
        // Completion handlers may overtake the count of submissions.
        if (record.framesSubmitted > record.framesCompleted) {
            inflightFrames += record.framesSubmitted - record.framesCompleted;
        }
    }

    const struct {
        const char* key;
        uint64_t value;
    } counts[] = {
        {"libraries", gLibraries.size()},
        {"pipelines", gPipelines.size()},
        {"compute_pipelines", gComputePipelines.size()},
        {"depth_stencil_states", gDepthStencilCache.size()},
        {"buffers", gBuffers.size()},
        {"buffer_bytes", bufferBytes},
        {"textures", gTextures.size()},
        {"texture_bytes", textureBytes},
        {"windows", gWindows.size()},
        {"window_texture_bytes", windowTextureBytes},
        {"active_frames", activeFrames},
        {"active_compute_passes", activeComputePasses},
        {"active_blit_passes", activeBlitPasses},
        {"offscreen_command_buffers", offscreenCommandBuffers},
        {"frame_autorelease_pools", frameAutoreleasePools},
        {"submitted_frames", submittedFrames},
        {"completed_frames", completedFrames},
        {"inflight_frames", inflightFrames},
        {"resident_bytes", residentBytes},
        {"phys_footprint_bytes", physicalFootprintBytes},
    };
    PyObject* result = PyDict_New();
    if (!result) return nullptr;
    for (const auto& count : counts) {
        PyObject* value = PyLong_FromUnsignedLongLong(count.value);
        if (!value) {
            // A value that cannot be made is left out; the rest still go in.
            PyErr_Clear();
            continue;
        }
        if (PyDict_SetItemString(result, count.key, value) != 0) PyErr_Clear();
        Py_DECREF(value);
    }
    return result;
}

}  // namespace quendal::metal
