#include "metal/state.hpp"

namespace quendal::metal {

std::mutex gStateMutex;
std::atomic<int64_t> gNextHandle{1};
// Never destroyed, like the device and its queue: the queue's completion
// thread may still run a frame's handlers, which look windows up, while the
// process exits and runs static destructors.
Registry<LibraryRecord>& gLibraries = *new Registry<LibraryRecord>;
Registry<PipelineRecord>& gPipelines = *new Registry<PipelineRecord>;
Registry<ComputePipelineRecord>& gComputePipelines = *new Registry<ComputePipelineRecord>;
Registry<BufferRecord>& gBuffers = *new Registry<BufferRecord>;
Registry<TextureRecord>& gTextures = *new Registry<TextureRecord>;
Registry<WindowRecord>& gWindows = *new Registry<WindowRecord>;
std::unordered_map<uint64_t, std::shared_ptr<gpu::DepthStencilState>>& gDepthStencilCache =
    *new std::unordered_map<uint64_t, std::shared_ptr<gpu::DepthStencilState>>;

std::shared_ptr<gpu::Device>* gDevice = nullptr;
std::shared_ptr<gpu::CommandQueue>* gCommandQueue = nullptr;

const std::shared_ptr<gpu::Device>& device()
{
    return *gDevice;
}

const std::shared_ptr<gpu::CommandQueue>& commandQueue()
{
    return *gCommandQueue;
}

int64_t QuendalPyNextHandle()
{
    // Uniqueness is all that is needed; the record is published by gStateMutex.
    return gNextHandle.fetch_add(1, std::memory_order_relaxed);
}

int64_t QuendalPyOpenFrameRenderingInto(const gpu::Texture& texture, int64_t exceptWindow)
{
    for (const auto& [handle, record] : gWindows) {
        const RenderFrame& frame = record.passes.render;
        if (handle != exceptWindow && frame.active && frame.targetTexture &&
            frame.targetTexture->sharesImageWith(texture)) {
            return handle;
        }
    }
    return 0;
}

bool QuendalPyCheckNotRenderingInto(const gpu::Texture& texture, int64_t exceptWindow)
{
    const int64_t window = QuendalPyOpenFrameRenderingInto(texture, exceptWindow);
    if (window == 0) return true;
    PyErr_SetString(PyExc_RuntimeError, QuendalPyRenderingIntoMessage(window).c_str());
    return false;
}

std::string QuendalPyRenderingIntoMessage(int64_t window)
{
    return "The texture is the target of the open frame of window " + std::to_string(window) +
           "; end that frame first.";
}

void QuendalPyCommitPendingFrames(WindowRecord& record)
{
    auto& pending = record.passes.render.pendingCommandBuffer;
    if (!pending) return;
    pending->commit();
    pending.reset();
}

bool QuendalPyEnsureDevice(const char* message)
{
    if (gDevice && gCommandQueue) return true;
    // Only Python threads holding the interpreter lock get here, so the pointers
    // are never written concurrently.
    if (!gDevice) {
        if (auto made = gpu::Device::createSystemDefault()) gDevice = new std::shared_ptr<gpu::Device>(made.value());
    }
    if (gDevice && !gCommandQueue) {
        if (auto queue = (*gDevice)->newCommandQueue()) gCommandQueue = new std::shared_ptr<gpu::CommandQueue>(queue.value());
    }
    if (gDevice && gCommandQueue) return true;
    PyErr_SetString(PyExc_RuntimeError, message);
    return false;
}

}  // namespace quendal::metal
