// Render frames: begin_frame and end_frame, onscreen (into the window layer's
// next drawable, presented at the end) and offscreen (into a render texture,
// sharing one command buffer that is committed later), with the per-window
// multisample, depth and stencil attachment caches and the frame slot.
#include <array>
#include <string>

#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/pixel_format.hpp"
#include "metal/state.hpp"
#include "metal/window.hpp"
#include "platform/gpu/drawable.hpp"
#include "platform/gpu/render_command_encoder.hpp"
#include "platform/ui/window.hpp"
#include "python_runtime/gil.hpp"
#include "python_runtime/main_thread.hpp"

namespace quendal::metal {

namespace {

constexpr std::array<double, 4> kDefaultClearColor{0.03, 0.04, 0.06, 1.0};
constexpr uint64_t kDepthFormat = static_cast<uint64_t>(gpu::PixelFormat::Depth32Float);
constexpr uint64_t kStencilFormat = static_cast<uint64_t>(gpu::PixelFormat::Stencil8);

struct FrameRequest {
    int64_t window = 0;
    int64_t target = 0;
    std::array<double, 4> clearColor = kDefaultClearColor;
    uint32_t sampleCount = 1;
    bool depth = false;
    bool stencil = false;
    bool slotAcquired = false;
    std::string error;
};

// Only a sequence of exactly four floats replaces the default; anything else,
// including a failed conversion, keeps it and raises nothing.
std::array<double, 4> clearColorFrom(PyObject* object)
{
    if (!object || object == Py_None || !PySequence_Check(object)) return kDefaultClearColor;
    const Py_ssize_t length = PySequence_Size(object);
    if (length != 4) {
        PyErr_Clear();
        return kDefaultClearColor;
    }
    std::array<double, 4> color{};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* item = PySequence_GetItem(object, i);
        color[i] = item ? PyFloat_AsDouble(item) : -1.0;
        Py_XDECREF(item);
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return kDefaultClearColor;
        }
    }
    return color;
}

std::shared_ptr<gpu::Texture> newAttachment(gpu::PixelFormat format, uint64_t width, uint64_t height,
                                            uint32_t sampleCount)
{
    gpu::TextureDescriptor d;
    d.pixelFormat = format;
    d.width = static_cast<uint32_t>(width);
    d.height = static_cast<uint32_t>(height);
    d.sampleCount = sampleCount;
    d.usage = gpu::TextureUsageRenderTarget;
    auto made = device()->newTexture(d);
    return made ? made.value() : nullptr;
}

// The size, sample count and format of the frame being begun.
struct FrameShape {
    uint64_t width = 0;
    uint64_t height = 0;
    uint32_t sampleCount = 1;
};

// The colour attachment: the target itself, or with several samples the cached
// multisample texture, resolved into the target.
bool prepareColor(AttachmentCache& cache, const std::shared_ptr<gpu::Texture>& target, const FrameShape& shape,
                  gpu::RenderPassDescriptor& pass)
{
    if (shape.sampleCount < 2) {
        pass.colorTexture = target;
        return true;
    }
    const uint64_t format = static_cast<uint64_t>(target->pixelFormat());
    if (!cache.msaa.fits(shape.width, shape.height, shape.sampleCount, format)) {
        auto msaa = newAttachment(target->pixelFormat(), shape.width, shape.height, shape.sampleCount);
        if (!msaa) return false;
        cache.msaa.keep(std::move(msaa), shape.width, shape.height, shape.sampleCount, format);
    }
    pass.colorTexture = cache.msaa.texture;
    pass.resolveTexture = target;
    return true;
}

// The depth and stencil attachments of a frame, from the window's caches.
// Vulkan renders with one image for both, so a frame that asks for both gets
// one combined image, recorded as the two cache entries (aliases that keep
// their own formats for the estimates).
bool prepareDepthStencil(AttachmentCache& cache, const FrameRequest& request, const FrameShape& shape)
{
    const auto [w, h, n] = shape;
    const bool depthCached = cache.depth.fits(w, h, n, kDepthFormat);
    const bool stencilCached = cache.stencil.fits(w, h, n, kStencilFormat);
    std::shared_ptr<gpu::Texture> depth;
    std::shared_ptr<gpu::Texture> stencil;
    if (request.depth && request.stencil) {
        if (depthCached && stencilCached && cache.depth.texture->sharesImageWith(*cache.stencil.texture)) return true;
        auto combined = newAttachment(gpu::PixelFormat::Depth32FloatStencil8, w, h, n);
        if (!combined) return false;
        depth = gpu::Texture::alias(combined, gpu::PixelFormat::Depth32Float);
        stencil = gpu::Texture::alias(combined, gpu::PixelFormat::Stencil8);
    } else if (request.depth) {
        if (depthCached) return true;
        depth = newAttachment(gpu::PixelFormat::Depth32Float, w, h, n);
        if (!depth) return false;
    } else if (request.stencil) {
        if (stencilCached) return true;
        stencil = newAttachment(gpu::PixelFormat::Stencil8, w, h, n);
        if (!stencil) {
            // Stencil-only formats are optional in Vulkan.
            auto combined = newAttachment(gpu::PixelFormat::Depth32FloatStencil8, w, h, n);
            if (!combined) return false;
            stencil = gpu::Texture::alias(combined, gpu::PixelFormat::Stencil8);
        }
    }
    if (depth) cache.depth.keep(std::move(depth), w, h, n, kDepthFormat);
    if (stencil) cache.stencil.keep(std::move(stencil), w, h, n, kStencilFormat);
    return true;
}

// Onscreen: takes the frame slot over, commits the offscreen frames encoded
// before, and takes the layer's next drawable at the view's current size.
bool acquireDrawable(WindowRecord& r, FrameRequest& request)
{
    if (request.slotAcquired) r.slots.held = true;
    QuendalPyCommitPendingFrames(r);
    const double scale = r.window->backingScaleFactor();
    const ui::Size bounds = r.controller->surfaceView->bounds().size;
    r.layer->setContentsScale(scale);
    r.layer->setDrawableSize(gpu::DrawableSize{bounds.width * scale, bounds.height * scale});
    auto drawable = r.layer->nextDrawable();
    if (!drawable) {
        request.error = "Failed to acquire a CAMetalDrawable.";
        return false;
    }
    r.passes.render.drawable = drawable.value();
    return true;
}

// Offscreen: the target texture, drawn into through the command buffer that
// offscreen frames share.
bool bindOffscreenTarget(WindowRecord& r, FrameRequest& request)
{
    TextureRecord* texture = QuendalPyFind(gTextures, request.target);
    if (!texture) {
        request.error = missing::kFrameTarget.message;
        return false;
    }
    if (const int64_t other = QuendalPyOpenFrameRenderingInto(*texture->texture)) {
        request.error = QuendalPyRenderingIntoMessage(other);
        return false;
    }
    RenderFrame& frame = r.passes.render;
    frame.targetTexture = texture->texture;
    if (!frame.pendingCommandBuffer) {
        if (auto made = commandQueue()->commandBuffer()) frame.pendingCommandBuffer = made.value();
    }
    frame.commandBuffer = frame.pendingCommandBuffer;
    return true;
}

// Opens the render pass into the frame's target with the attachments the
// request asks for. The message of what failed, or null.
const char* openRenderPass(WindowRecord& r, const FrameRequest& request)
{
    RenderFrame& frame = r.passes.render;
    if (!frame.commandBuffer) {
        if (auto made = commandQueue()->commandBuffer()) frame.commandBuffer = made.value();
    }
    if (!frame.commandBuffer) return "Failed to create a Metal command buffer.";

    const std::shared_ptr<gpu::Texture>& target = frame.targetTexture ? frame.targetTexture : frame.drawable->texture();
    // Textures made only for sampling (image files, text) cannot be drawn into.
    if (!(target->usage() & gpu::TextureUsageRenderTarget)) return "Failed to create a Metal render encoder.";
    const FrameShape shape{target->width(), target->height(), request.sampleCount >= 2 ? request.sampleCount : 1};

    gpu::RenderPassDescriptor pass;
    pass.clearColor = request.clearColor;
    if (!prepareColor(r.attachments, target, shape, pass)) return "Failed to allocate the frame's multisample texture.";
    if (!prepareDepthStencil(r.attachments, request, shape)) {
        return "Failed to allocate the frame's depth or stencil texture.";
    }
    if (request.depth) pass.depthTexture = r.attachments.depth.texture;
    if (request.stencil) pass.stencilTexture = r.attachments.stencil.texture;

    auto encoder = gpu::RenderCommandEncoder::create(frame.commandBuffer, pass);
    if (!encoder) return "Failed to create a Metal render encoder.";
    frame.encoder = encoder.value();
    return nullptr;
}

// The main-thread step of begin_frame; holds gStateMutex throughout.
void beginFrameOnMain(FrameRequest& request)
{
    std::lock_guard lock(gStateMutex);
    WindowRecord* found = QuendalPyFind(gWindows, request.window);
    if (!found) {
        request.error = missing::kFrameWindow.message;
        return;
    }
    WindowRecord& r = *found;
    RenderFrame& frame = r.passes.render;
    if (frame.active) {
        request.error = "A Metal frame is already active for this window.";
        return;
    }
    frame.drawable.reset();
    frame.targetTexture.reset();
    const bool onscreen = request.target == 0;
    if (!(onscreen ? acquireDrawable(r, request) : bindOffscreenTarget(r, request))) return;
    if (const char* failed = openRenderPass(r, request)) {
        frame.commandBuffer.reset();
        frame.drawable.reset();
        frame.targetTexture.reset();
        request.error = failed;
        return;
    }
    frame.active = true;
}

// An onscreen frame waits for the window's frame slot, unless the window holds
// it already. Interpreter lock held; released while waiting.
struct SlotWait {
    std::shared_ptr<Semaphore> slot;
    bool heldOnEntry = false;
};

SlotWait waitForFrameSlot(FrameRequest& request)
{
    SlotWait wait;
    {
        std::lock_guard lock(gStateMutex);
        WindowRecord* record = QuendalPyFind(gWindows, request.window);
        if (!record || !record->slots.semaphore) return wait;
        wait.slot = record->slots.semaphore;
        wait.heldOnEntry = record->slots.held;
    }
    if (!wait.heldOnEntry) {
        GilRelease release;
        wait.slot->wait();
        request.slotAcquired = true;
    }
    return wait;
}

// Gives the slot back after a begin_frame that failed: the window's if it
// still holds it without a frame, else the one this call took.
void giveBackFrameSlot(const FrameRequest& request, const SlotWait& wait)
{
    if (!request.slotAcquired && !wait.heldOnEntry) return;
    std::shared_ptr<Semaphore> giveBack;
    {
        std::lock_guard lock(gStateMutex);
        WindowRecord* record = QuendalPyFind(gWindows, request.window);
        if (record && record->slots.held && !record->passes.render.active) {
            record->slots.held = false;
            giveBack = record->slots.semaphore;
        } else if (request.slotAcquired) {
            giveBack = wait.slot;
        }
    }
    if (giveBack) giveBack->signal();
}

// The main-thread step of end_frame. Ends the render pass; an onscreen frame
// hands its slot to the command buffer (freed when the GPU completes it) and
// presents its drawable. Returns the command buffer to commit once unlocked.
std::shared_ptr<gpu::CommandBuffer> endFrameOnMain(int64_t window, StepFailure& failure)
{
    std::lock_guard lock(gStateMutex);
    WindowRecord* record = QuendalPyFind(gWindows, window);
    if (!record) {
        failure.set(missing::kFrameWindow);
        return nullptr;
    }
    WindowRecord& r = *record;
    RenderFrame& frame = r.passes.render;
    if (!(frame.active && frame.encoder && frame.commandBuffer && (frame.drawable || frame.targetTexture))) {
        if (r.slots.held && r.slots.semaphore) {
            r.slots.semaphore->signal();
            r.slots.held = false;
        }
        failure.setRuntime("begin_frame() must be called before end_frame().");
        return nullptr;
    }
    frame.encoder->endEncoding();
    frame.encoder.reset();
    frame.active = false;
    if (frame.targetTexture) {
        // Offscreen: the shared command buffer stays pending.
        frame.commandBuffer.reset();
        frame.targetTexture.reset();
        return nullptr;
    }
    if (r.slots.held && r.slots.semaphore) {
        r.slots.framesSubmitted += 1;
        frame.commandBuffer->addCompletedHandler([slot = r.slots.semaphore, handle = r.handle](gpu::CommandBuffer&) {
            // Counted before the slot opens: whoever takes the slot sees the frame completed.
            {
                std::lock_guard completed(gStateMutex);
                if (WindowRecord* found = QuendalPyFind(gWindows, handle)) found->slots.framesCompleted += 1;
            }
            slot->signal();
        });
        r.slots.held = false;
    }
    if (frame.drawable) frame.drawable->present(*frame.commandBuffer);
    frame.drawable.reset();
    return std::move(frame.commandBuffer);
}

}  // namespace

PyObject* metal_begin_frame(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"window", "clear_color", "target_texture", "depth", "sample_count", "stencil",
                                   nullptr};
    FrameRequest request;
    long long window = 0;
    PyObject* clearColor = nullptr;
    long long target = 0;
    int depth = 0;
    unsigned int sampleCount = 1;
    int stencil = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "L|OLpIp", const_cast<char**>(kwlist), &window, &clearColor,
                                     &target, &depth, &sampleCount, &stencil)) {
        return nullptr;
    }
    request.window = window;
    request.target = target;
    request.depth = depth != 0;
    request.stencil = stencil != 0;
    request.sampleCount = static_cast<int32_t>(sampleCount) < 1 ? 1 : sampleCount;
    request.clearColor = clearColorFrom(clearColor);

    // A count the device cannot render with would reach the driver as invalid
    // usage; refuse it before the frame slot is touched.
    if (request.sampleCount > 1 && !QuendalPyCheckSampleCount(request.sampleCount)) return nullptr;

    const bool onscreen = target == 0;
    const SlotWait wait = onscreen ? waitForFrameSlot(request) : SlotWait{};
    runOnMainSync([&] { beginFrameOnMain(request); });
    if (request.error.empty()) Py_RETURN_NONE;
    if (onscreen) giveBackFrameSlot(request, wait);
    PyErr_SetString(PyExc_RuntimeError, request.error.c_str());
    return nullptr;
}

PyObject* metal_end_frame(PyObject*, PyObject* args)
{
    long long window = 0;
    if (!PyArg_ParseTuple(args, "L", &window)) return nullptr;
    StepFailure failure;
    runOnMainSync([&] {
        // Committed after unlocking: a submit that fails runs the completion
        // handler at once, and it takes gStateMutex.
        if (auto toCommit = endFrameOnMain(window, failure)) toCommit->commit();
    });
    if (failure) return failure.raise();
    Py_RETURN_NONE;
}

}  // namespace quendal::metal
