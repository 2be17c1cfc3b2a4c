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
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/metal_layer.hpp"
#include "platform/gpu/texture.hpp"
#include "runtime/semaphore.hpp"

namespace quendal::gpu {
class BlitCommandEncoder;
class ComputeCommandEncoder;
class ComputePipelineState;
class DepthStencilState;
class Drawable;
class Library;
class RenderCommandEncoder;
class RenderPipelineState;
class Texture;
}

namespace quendal::ui {
class DisplayLink;
class Window;
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
    std::shared_ptr<gpu::Texture> texture;
    uint64_t width = 0;
    uint64_t height = 0;
    uint64_t pixelFormat = 0;  // Metal numbering
};

class QuendalPyMetalViewController;

// One queued pointer event of a window.
struct TouchEvent {
    int32_t phase = 0;  // 0 down, 1 moved, 2 up
    int64_t id = 0;
    double x = 0;
    double y = 0;
    double prevX = 0;
    double prevY = 0;
    double timestamp = 0;  // seconds since system start-up
};

// A window's multisample, depth or stencil attachment, kept from frame to frame
// while frames ask for the same size, sample count and format.
struct CachedAttachment {
    std::shared_ptr<gpu::Texture> texture;
    // What the texture was made for; the format in Metal numbering.
    uint64_t width = 0;
    uint64_t height = 0;
    uint64_t sampleCount = 0;
    uint64_t pixelFormat = 0;

    bool fits(uint64_t w, uint64_t h, uint64_t samples, uint64_t format) const
    {
        return texture && width == w && height == h && sampleCount == samples && pixelFormat == format;
    }
    void keep(std::shared_ptr<gpu::Texture> made, uint64_t w, uint64_t h, uint64_t samples, uint64_t format)
    {
        texture = std::move(made);
        width = w;
        height = h;
        sampleCount = samples;
        pixelFormat = format;
    }
};

struct AttachmentCache {
    CachedAttachment msaa;
    CachedAttachment depth;
    CachedAttachment stencil;
};

// The render frame being encoded (frame.cpp; used by render_commands.cpp and
// depth_stencil.cpp).
struct RenderFrame {
    bool active = false;
    std::shared_ptr<gpu::Drawable> drawable;      // onscreen frames
    std::shared_ptr<gpu::Texture> targetTexture;  // offscreen frames
    std::shared_ptr<gpu::CommandBuffer> commandBuffer;
    std::shared_ptr<gpu::RenderCommandEncoder> encoder;
    // The command buffer that offscreen frames share: committed by the next
    // onscreen frame, or taken over by the next blit pass, so that they run in
    // the order encoded.
    std::shared_ptr<gpu::CommandBuffer> pendingCommandBuffer;
};

// A blit or compute pass: a command buffer of its own (a blit pass's may carry
// offscreen frames encoded before it), submitted and waited for when the pass
// ends (blit.cpp, compute.cpp).
template <class Encoder>
struct SynchronousPass {
    bool active = false;
    std::shared_ptr<Encoder> encoder;
    std::shared_ptr<gpu::CommandBuffer> commandBuffer;
};

struct ActivePasses {
    RenderFrame render;
    SynchronousPass<gpu::BlitCommandEncoder> blit;
    SynchronousPass<gpu::ComputeCommandEncoder> compute;
};

// The window's one onscreen frame slot and the frames that went through it
// (pacing.cpp, frame.cpp; counted by diagnostics.cpp).
struct FrameSlots {
    std::shared_ptr<Semaphore> semaphore;  // count 1: the slot is free
    // Taken by acquire_frame_slot or an onscreen begin_frame, and not yet
    // handed to a committed frame or given back.
    bool held = false;
    uint64_t framesSubmitted = 0;  // committed with a completion handler
    uint64_t framesCompleted = 0;  // completion handlers that have run
};

// Pointer events waiting for consume_touches (input.cpp).
struct InputState {
    std::deque<TouchEvent> touches;  // oldest first
    std::unordered_map<int64_t, int64_t> activePointers;  // button + 1 -> pointer id
    int64_t nextPointerId = 1;
};

// All per-window state. The window objects (window, controller, layer, display
// link) are used on the main thread only; the rest under gStateMutex.
struct WindowRecord {
    int64_t handle = 0;
    std::shared_ptr<ui::Window> window;
    std::shared_ptr<QuendalPyMetalViewController> controller;
    std::shared_ptr<gpu::MetalLayer> layer;
    std::shared_ptr<ui::DisplayLink> displayLink;
    std::shared_ptr<Semaphore> vsyncSemaphore;  // signalled on every display refresh
    ActivePasses passes;
    AttachmentCache attachments;
    FrameSlots slots;
    InputState input;
};

template <class Record>
using Registry = std::unordered_map<int64_t, Record>;

// The registries are never destroyed (see state.cpp); the process's exit
// reclaims what they hold.
extern std::mutex gStateMutex;
extern std::atomic<int64_t> gNextHandle;
extern Registry<LibraryRecord>& gLibraries;
extern Registry<PipelineRecord>& gPipelines;
extern Registry<ComputePipelineRecord>& gComputePipelines;
extern Registry<BufferRecord>& gBuffers;
extern Registry<TextureRecord>& gTextures;
extern Registry<WindowRecord>& gWindows;
extern std::unordered_map<uint64_t, std::shared_ptr<gpu::DepthStencilState>>& gDepthStencilCache;

// Made by the first successful ensure-device step and never released: the
// queue's completion thread must not be joined from an exit handler.
extern std::shared_ptr<gpu::Device>* gDevice;
extern std::shared_ptr<gpu::CommandQueue>* gCommandQueue;
const std::shared_ptr<gpu::Device>& device();
const std::shared_ptr<gpu::CommandQueue>& commandQueue();

// Draws the next handle; call only once the platform object exists.
int64_t QuendalPyNextHandle();

// The window whose open offscreen frame renders into texture's image, or 0.
// Encoders track layouts in recording order, and such a frame is submitted only
// after passes recorded later, so every other use of that image waits until the
// frame has ended. gStateMutex held.
int64_t QuendalPyOpenFrameRenderingInto(const gpu::Texture& texture, int64_t exceptWindow = 0);
// Raises RuntimeError naming that window and returns false, when there is one.
bool QuendalPyCheckNotRenderingInto(const gpu::Texture& texture, int64_t exceptWindow = 0);
std::string QuendalPyRenderingIntoMessage(int64_t window);

// Commits the command buffer of the window's offscreen frames, if any, so that
// they reach the GPU ahead of what is encoded next. gStateMutex held.
void QuendalPyCommitPendingFrames(WindowRecord& record);

// Makes gDevice and gCommandQueue exist. On failure raises RuntimeError with
// message and returns false. Interpreter lock held, gStateMutex not held.
bool QuendalPyEnsureDevice(const char* message);

}  // namespace quendal::metal
