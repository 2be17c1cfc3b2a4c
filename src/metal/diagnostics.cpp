// Resource diagnostics: one consistent snapshot of the registries, the windows'
// pass and frame state, and the process's memory as the kernel reports it.
#include <cstdint>

#include "metal/functions.hpp"
#include "metal/state.hpp"
#include "metal/texture.hpp"
#include "platform/process/memory.hpp"

namespace quendal::metal {

namespace {

// What the windows hold between them. gStateMutex held.
struct WindowTotals {
    uint64_t textureBytes = 0;
    uint64_t activeFrames = 0;
    uint64_t activeComputePasses = 0;
    uint64_t activeBlitPasses = 0;
    uint64_t offscreenCommandBuffers = 0;
    uint64_t submittedFrames = 0;
    uint64_t completedFrames = 0;
    uint64_t inflightFrames = 0;
};

WindowTotals windowTotals()
{
    WindowTotals totals;
    for (const auto& [handle, record] : gWindows) {
        const AttachmentCache& cache = record.attachments;
        totals.textureBytes += estimatedTextureBytes(cache.msaa.texture.get()) +
                               estimatedTextureBytes(cache.depth.texture.get()) +
                               estimatedTextureBytes(cache.stencil.texture.get());
        const ActivePasses& passes = record.passes;
        totals.activeFrames += passes.render.active ? 1 : 0;
        totals.activeComputePasses += passes.compute.active ? 1 : 0;
        totals.activeBlitPasses += passes.blit.active ? 1 : 0;
        totals.offscreenCommandBuffers += passes.render.pendingCommandBuffer ? 1 : 0;
        const FrameSlots& slots = record.slots;
        totals.submittedFrames += slots.framesSubmitted;
        totals.completedFrames += slots.framesCompleted;
        // Completion handlers may overtake the count of submissions.
        if (slots.framesSubmitted > slots.framesCompleted) {
            totals.inflightFrames += slots.framesSubmitted - slots.framesCompleted;
        }
    }
    return totals;
}

}  // namespace

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
    const WindowTotals windows = windowTotals();

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
        {"window_texture_bytes", windows.textureBytes},
        {"active_frames", windows.activeFrames},
        {"active_compute_passes", windows.activeComputePasses},
        {"active_blit_passes", windows.activeBlitPasses},
        {"offscreen_command_buffers", windows.offscreenCommandBuffers},
        // A frame's scope is the frame itself: what it uses lives as long as
        // its command buffer needs it, so each open frame is one scope.
        {"frame_autorelease_pools", windows.activeFrames},
        {"submitted_frames", windows.submittedFrames},
        {"completed_frames", windows.completedFrames},
        {"inflight_frames", windows.inflightFrames},
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
