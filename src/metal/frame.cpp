// Render frames: begin_frame and end_frame, onscreen (into the window layer's
// next drawable, presented at the end) and offscreen (into a render texture,
// sharing one command buffer that is committed later), with the per-window
// multisample, depth and stencil attachment caches and the frame slot.
#include <array>
#include <string>

#include "common/gil.hpp"
#include "common/main_thread.hpp"
#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/pixel_format.hpp"
#include "metal/state.hpp"
#include "metal/window.hpp"
#include "platform/gpu/drawable.hpp"
#include "platform/gpu/render_command_encoder.hpp"
#include "platform/ui/window.hpp"

namespace quendal::metal {

namespace {

constexpr std::array<double, 4> kDefaultClearColor{0.03, 0.04, 0.06, 1.0};
constexpr uint64_t kDepthFormat = static_cast<uint64_t>(gpu::PixelFormat::Depth32Float);

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

// The depth and stencil attachments of a frame, from the window's caches.
// Vulkan renders with one image for both, so a frame that asks for both gets
// one combined image, recorded as the two cache entries (aliases that keep
// their own formats for the estimates).
bool prepareDepthStencil(WindowRecord& r, const FrameRequest& request, uint64_t w, uint64_t h, uint32_t n)
{
    const bool depthCached = r.depthTexture && r.depthWidth == w && r.depthHeight == h && r.depthSampleCount == n &&
                             r.depthPixelFormat == kDepthFormat;
    const bool stencilCached =
        r.stencilTexture && r.stencilWidth == w && r.stencilHeight == h && r.stencilSampleCount == n;
    if (request.depth && request.stencil) {
        if (depthCached && stencilCached && r.depthTexture->sharesImageWith(*r.stencilTexture)) return true;
        auto combined = newAttachment(gpu::PixelFormat::Depth32FloatStencil8, w, h, n);
        if (!combined) return false;
        r.depthTexture = gpu::Texture::alias(combined, gpu::PixelFormat::Depth32Float);
        r.stencilTexture = gpu::Texture::alias(combined, gpu::PixelFormat::Stencil8);
    } else if (request.depth) {
        if (depthCached) return true;
        auto depth = newAttachment(gpu::PixelFormat::Depth32Float, w, h, n);
        if (!depth) return false;
        r.depthTexture = depth;
    } else if (request.stencil) {
        if (stencilCached) return true;
        auto stencil = newAttachment(gpu::PixelFormat::Stencil8, w, h, n);
        if (!stencil) {
            // Stencil-only formats are optional in Vulkan.
            auto combined = newAttachment(gpu::PixelFormat::Depth32FloatStencil8, w, h, n);
            if (!combined) return false;
            stencil = gpu::Texture::alias(combined, gpu::PixelFormat::Stencil8);
        }
        r.stencilTexture = stencil;
    } else {
        return true;
    }
    if (request.depth) {
        r.depthWidth = w;
        r.depthHeight = h;
        r.depthSampleCount = n;
        r.depthPixelFormat = kDepthFormat;
    }
    if (request.stencil) {
        r.stencilWidth = w;
        r.stencilHeight = h;
        r.stencilSampleCount = n;
    }
    return true;
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
    if (r.frameActive) {
        request.error = "A Metal frame is already active for this window.";
        return;
    }
    r.drawable.reset();
    r.targetTexture.reset();
    const bool onscreen = request.target == 0;
    if (onscreen) {
        if (request.slotAcquired) r.frameSlotHeld = true;
        if (r.pendingCommandBuffer) {
            r.pendingCommandBuffer->commit();
            r.pendingCommandBuffer.reset();
        }
        const double scale = r.window->backingScaleFactor();
        const ui::Size bounds = r.controller->surfaceView->bounds().size;
        r.layer->setContentsScale(scale);
        r.layer->setDrawableSize(gpu::DrawableSize{bounds.width * scale, bounds.height * scale});
        auto drawable = r.layer->nextDrawable();
        if (!drawable) {
            request.error = "Failed to acquire a CAMetalDrawable.";
            return;
        }
        r.drawable = drawable.value();
    } else {
        TextureRecord* texture = QuendalPyFind(gTextures, request.target);
        if (!texture) {
            request.error = missing::kFrameTarget.message;
            return;
        }
        if (const int64_t other = QuendalPyOpenFrameRenderingInto(*texture->texture)) {
            request.error = QuendalPyRenderingIntoMessage(other);
            return;
        }
        r.targetTexture = texture->texture;
        if (!r.pendingCommandBuffer) {
            if (auto made = commandQueue()->commandBuffer()) r.pendingCommandBuffer = made.value();
        }
        r.commandBuffer = r.pendingCommandBuffer;
    }
    if (!r.commandBuffer) {
        if (auto made = commandQueue()->commandBuffer()) r.commandBuffer = made.value();
    }
    auto failed = [&](const char* message) {
        r.commandBuffer.reset();
        r.drawable.reset();
        r.targetTexture.reset();
        request.error = message;
    };
    if (!r.commandBuffer) return failed("Failed to create a Metal command buffer.");

    const std::shared_ptr<gpu::Texture>& target = r.targetTexture ? r.targetTexture : r.drawable->texture();
    const uint64_t w = target->width();
    const uint64_t h = target->height();
    const uint64_t f = static_cast<uint64_t>(target->pixelFormat());
    const uint32_t n = request.sampleCount >= 2 ? request.sampleCount : 1;
    // Textures made only for sampling (image files, text) cannot be drawn into.
    if (!(target->usage() & gpu::TextureUsageRenderTarget)) return failed("Failed to create a Metal render encoder.");

    gpu::RenderPassDescriptor pass;
    pass.clearColor = request.clearColor;
    if (n < 2) {
        pass.colorTexture = target;
    } else {
        if (!r.msaaTexture || r.msaaWidth != w || r.msaaHeight != h || r.msaaPixelFormat != f ||
            r.msaaSampleCount != n) {
            auto msaa = newAttachment(target->pixelFormat(), w, h, n);
            if (!msaa) return failed("Failed to allocate the frame's multisample texture.");
            r.msaaTexture = msaa;
            r.msaaWidth = w;
            r.msaaHeight = h;
            r.msaaSampleCount = n;
            r.msaaPixelFormat = f;
        }
        pass.colorTexture = r.msaaTexture;
        pass.resolveTexture = target;
    }
    if (!prepareDepthStencil(r, request, w, h, n)) return failed("Failed to allocate the frame's depth or stencil texture.");
    if (request.depth) pass.depthTexture = r.depthTexture;
    if (request.stencil) pass.stencilTexture = r.stencilTexture;

    auto encoder = gpu::RenderCommandEncoder::create(r.commandBuffer, pass);
    if (!encoder) return failed("Failed to create a Metal render encoder.");
    r.renderEncoder = encoder.value();
    r.frameActive = true;
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
    std::shared_ptr<Semaphore> slot;
    bool heldOnEntry = false;
    if (onscreen) {
        bool wait = false;
        {
            std::lock_guard lock(gStateMutex);
            auto it = gWindows.find(window);
            if (it != gWindows.end() && it->second.frameSlotSemaphore) {
                slot = it->second.frameSlotSemaphore;
                heldOnEntry = it->second.frameSlotHeld;
                wait = !heldOnEntry;
            }
        }
        if (wait) {
            GilRelease release;
            slot->wait();
            request.slotAcquired = true;
        }
    }

    runOnMainSync([&] { beginFrameOnMain(request); });

    if (request.error.empty()) {
        auto pool = std::make_shared<int>(0);
        std::lock_guard lock(gStateMutex);
        auto it = gWindows.find(window);
        if (it != gWindows.end() && it->second.frameActive && !it->second.framePool) it->second.framePool = pool;
        Py_RETURN_NONE;
    }

    if (onscreen && (request.slotAcquired || heldOnEntry)) {
        std::shared_ptr<Semaphore> giveBack;
        {
            std::lock_guard lock(gStateMutex);
            auto it = gWindows.find(window);
            if (it != gWindows.end() && it->second.frameSlotHeld && !it->second.frameActive) {
                it->second.frameSlotHeld = false;
                giveBack = it->second.frameSlotSemaphore;
            } else if (request.slotAcquired) {
                giveBack = slot;
            }
        }
        if (giveBack) giveBack->signal();
    }
    PyErr_SetString(PyExc_RuntimeError, request.error.c_str());
    return nullptr;
}

PyObject* metal_end_frame(PyObject*, PyObject* args)
{
    long long window = 0;
    if (!PyArg_ParseTuple(args, "L", &window)) return nullptr;
    const char* error = nullptr;
    runOnMainSync([&] {
        std::shared_ptr<gpu::CommandBuffer> toCommit;
        {
            std::lock_guard lock(gStateMutex);
            auto it = gWindows.find(window);
            if (it == gWindows.end()) {
                error = "_metal window handle not found.";
                return;
            }
            WindowRecord& r = it->second;
            if (!(r.frameActive && r.renderEncoder && r.commandBuffer && (r.drawable || r.targetTexture))) {
                if (r.frameSlotHeld && r.frameSlotSemaphore) {
                    r.frameSlotSemaphore->signal();
                    r.frameSlotHeld = false;
                }
                error = "begin_frame() must be called before end_frame().";
                return;
            }
            r.renderEncoder->endEncoding();
            r.renderEncoder.reset();
            if (r.targetTexture) {
                r.commandBuffer.reset();
                r.targetTexture.reset();
            } else {
                if (r.frameSlotHeld && r.frameSlotSemaphore) {
                    r.framesSubmitted += 1;
                    r.commandBuffer->addCompletedHandler(
                        [slot = r.frameSlotSemaphore, handle = r.handle](gpu::CommandBuffer&) {
                            slot->signal();
                            std::lock_guard completed(gStateMutex);
                            auto found = gWindows.find(handle);
                            if (found != gWindows.end()) found->second.framesCompleted += 1;
                        });
                    r.frameSlotHeld = false;
                }
                if (r.drawable) r.drawable->present(*r.commandBuffer);
                toCommit = std::move(r.commandBuffer);
                r.drawable.reset();
            }
            r.frameActive = false;
        }
        // Committed after unlocking: a submit that fails runs the completion
        // handler at once, and it takes gStateMutex.
        if (toCommit) toCommit->commit();
    });

    std::shared_ptr<void> pool;
    {
        std::lock_guard lock(gStateMutex);
        auto it = gWindows.find(window);
        if (it != gWindows.end()) pool = std::move(it->second.framePool);
    }
    pool.reset();
    if (error) {
        PyErr_SetString(PyExc_RuntimeError, error);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace quendal::metal
