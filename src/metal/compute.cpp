// Compute passes: kernels dispatched into a command buffer of the window's own
// that end_compute submits and waits for.
#include <memory>
#include <string>

#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/pass.hpp"
#include "metal/state.hpp"
#include "platform/gpu/compute_command_encoder.hpp"
#include "platform/gpu/compute_pipeline.hpp"
#include "platform/gpu/pipeline_layout.hpp"

namespace quendal::metal {
namespace {

// The window's open pass, or null with RuntimeError raised when the window is
// missing or has none. gStateMutex held.
gpu::ComputeCommandEncoder* QuendalPyOpenComputePass(int64_t handle)
{
    WindowRecord* window = QuendalPyFind(gWindows, handle);
    if (!window || !window->passes.compute.active || !window->passes.compute.encoder) {
        QuendalPyRaise(missing::kComputePass);
        return nullptr;
    }
    return window->passes.compute.encoder.get();
}

// Slots past the binding model's range can never reach a kernel.
bool QuendalPyCheckSlotIndex(int index, const char* what)
{
    if (index >= 0 && static_cast<uint32_t>(index) < gpu::kBindingsPerSet) return true;
    PyErr_Format(PyExc_ValueError, "%s index must be between 0 and %u.", what, gpu::kBindingsPerSet - 1);
    return false;
}

}  // namespace

PyObject* metal_begin_compute(PyObject*, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    return QuendalPyNoneUnlessFailed(
        QuendalPyWindowStep(handle, missing::kComputeWindow, [](WindowRecord& record, StepFailure& failure) {
            if (record.passes.compute.active) return failure.setRuntime("Compute pass already active.");
            // Pending offscreen frames stay pending: the pass does not see them.
            QuendalPyOpenPass(record.passes.compute);
        }));
}

PyObject* metal_set_compute_pipeline(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"window", "pipeline", nullptr};
    long long windowHandle = 0;
    long long pipelineHandle = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LL", const_cast<char**>(kwlist), &windowHandle,
                                     &pipelineHandle)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    gpu::ComputeCommandEncoder* encoder = QuendalPyOpenComputePass(windowHandle);
    ComputePipelineRecord* pipeline =
        encoder ? QuendalPyLookUp(gComputePipelines, pipelineHandle, missing::kComputePipeline) : nullptr;
    if (!pipeline) return nullptr;
    encoder->setComputePipelineState(pipeline->state);
    Py_RETURN_NONE;
}

PyObject* metal_set_compute_buffer(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"window", "buffer", "index", "offset", nullptr};
    long long windowHandle = 0;
    long long bufferHandle = 0;
    int index = 0;
    Py_ssize_t offset = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LLi|n", const_cast<char**>(kwlist), &windowHandle,
                                     &bufferHandle, &index, &offset)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    gpu::ComputeCommandEncoder* encoder = QuendalPyOpenComputePass(windowHandle);
    BufferRecord* buffer = encoder ? QuendalPyLookUp(gBuffers, bufferHandle, missing::kComputeBuffer) : nullptr;
    if (!buffer || !QuendalPyCheckSlotIndex(index, "Compute buffer")) return nullptr;
    if (offset < 0 || static_cast<uint64_t>(offset) >= buffer->buffer->length()) {
        PyErr_SetString(PyExc_ValueError, "Compute buffer offset must lie inside the buffer.");
        return nullptr;
    }
    encoder->setBuffer(buffer->buffer, static_cast<uint64_t>(offset), static_cast<uint32_t>(index));
    Py_RETURN_NONE;
}

PyObject* metal_set_compute_texture(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"window", "texture", "index", nullptr};
    long long windowHandle = 0;
    long long textureHandle = 0;
    int index = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LLi", const_cast<char**>(kwlist), &windowHandle, &textureHandle,
                                     &index)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    gpu::ComputeCommandEncoder* encoder = QuendalPyOpenComputePass(windowHandle);
    TextureRecord* texture = encoder ? QuendalPyLookUp(gTextures, textureHandle, missing::kComputeTexture) : nullptr;
    if (!texture || !QuendalPyCheckSlotIndex(index, "Compute texture") ||
        !QuendalPyCheckNotRenderingInto(*texture->texture)) {
        return nullptr;
    }
    encoder->setTexture(texture->texture, static_cast<uint32_t>(index));
    Py_RETURN_NONE;
}

PyObject* metal_dispatch_compute(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"window", "grid_x", "grid_y", "grid_z", "tg_x", "tg_y", "tg_z", nullptr};
    long long windowHandle = 0;
    int grid[3] = {1, 1, 1};
    int group[3] = {1, 1, 1};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "L|iiiiii", const_cast<char**>(kwlist), &windowHandle, &grid[0],
                                     &grid[1], &grid[2], &group[0], &group[1], &group[2])) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    gpu::ComputeCommandEncoder* encoder = QuendalPyOpenComputePass(windowHandle);
    if (!encoder) return nullptr;
    if (!encoder->computePipelineState()) {
        PyErr_SetString(PyExc_RuntimeError, "set_compute_pipeline() must be called before dispatch_compute().");
        return nullptr;
    }
    for (int i = 0; i < 3; ++i) {
        if (grid[i] < 1 || group[i] < 1) {
            PyErr_SetString(PyExc_ValueError, "Threadgroup counts and sizes must be at least 1.");
            return nullptr;
        }
    }
    const gpu::Size3 threadgroups{static_cast<uint32_t>(grid[0]), static_cast<uint32_t>(grid[1]),
                                  static_cast<uint32_t>(grid[2])};
    const gpu::Size3 threads{static_cast<uint32_t>(group[0]), static_cast<uint32_t>(group[1]),
                             static_cast<uint32_t>(group[2])};
    // The encoder refuses sizes and bindings that do not suit the kernel: bad
    // arguments of this call, whatever their kind.
    if (auto dispatched = encoder->dispatchThreadgroups(threadgroups, threads); !dispatched) {
        return QuendalPySetGpuError(dispatched.error(), "", "", PyExc_ValueError);
    }
    encoder->memoryBarrierWithScope(gpu::BarrierScopeTextures);
    Py_RETURN_NONE;
}

PyObject* metal_end_compute(PyObject*, PyObject* args)
{
    return QuendalPyEndPass(args, missing::kComputeWindow, &ActivePasses::compute, "No active compute pass.",
                            "compute");
}

}  // namespace quendal::metal
