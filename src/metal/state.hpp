// Records, registries and process-wide state of the _metal module.
//
// Threading: every registry, every record in them and the counters inside the
// records are read and written only with gStateMutex held. Lock order: the
// interpreter lock before gStateMutex, never the reverse. Never call
// runOnMainSync, wait on a semaphore or release the interpreter lock while
// holding gStateMutex (the ends of blit and compute passes, which wait for the
// GPU, are the only exceptions).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/device.hpp"

namespace quendal::gpu {
class ComputePipelineState;
class DepthStencilState;
class Library;
class RenderPipelineState;
}

namespace quendal::metal {

// Library, pipeline and texture objects of the GPU facade and the window
// classes are declared by the files that build them.
struct LibraryRecord {
    int64_t handle = 0;
    std::shared_ptr<gpu::Library> library;
};

// Encoders that bind a pipeline retain its state in their command buffer, so
// destroying the record while the GPU still uses it is safe.
struct PipelineRecord {
    int64_t handle = 0;
    std::shared_ptr<gpu::RenderPipelineState> state;
};

struct ComputePipelineRecord {
    int64_t handle = 0;
    std::shared_ptr<gpu::ComputePipelineState> state;
};

struct BufferRecord {
    int64_t handle = 0;
    std::shared_ptr<gpu::Buffer> buffer;
};

struct TextureRecord {
    int64_t handle = 0;
};

struct WindowRecord {
    int64_t handle = 0;
};

template <class Record>
using Registry = std::unordered_map<int64_t, Record>;

// Defined in this order in state.cpp, so that exit destroys them in reverse:
// the depth/stencil cache first, the mutex last.
extern std::mutex gStateMutex;
extern std::atomic<int64_t> gNextHandle;
extern Registry<LibraryRecord> gLibraries;
extern Registry<PipelineRecord> gPipelines;
extern Registry<ComputePipelineRecord> gComputePipelines;
extern Registry<BufferRecord> gBuffers;
extern Registry<TextureRecord> gTextures;
extern Registry<WindowRecord> gWindows;
extern std::unordered_map<uint64_t, std::shared_ptr<gpu::DepthStencilState>> gDepthStencilCache;

// Made by the first successful ensure-device step and never released: records
// destroyed at exit still need them, and the queue's completion thread must not
// be joined from an exit handler.
extern std::shared_ptr<gpu::Device>* gDevice;
extern std::shared_ptr<gpu::CommandQueue>* gCommandQueue;
const std::shared_ptr<gpu::Device>& device();
const std::shared_ptr<gpu::CommandQueue>& commandQueue();

// Draws the next handle; call only once the platform object exists.
int64_t QuendalPyNextHandle();

// Makes gDevice and gCommandQueue exist. On failure raises RuntimeError with
// message and returns false. Interpreter lock held, gStateMutex not held.
bool QuendalPyEnsureDevice(const char* message);

}  // namespace quendal::metal
