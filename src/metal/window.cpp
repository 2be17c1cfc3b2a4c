// Presentation windows: creation, metrics, button presses, titles.
#include "metal/window.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/state.hpp"
#include "platform/gpu/render_command_encoder.hpp"
#include "platform/ui/application.hpp"
#include "platform/ui/display_link.hpp"
#include "python_runtime/gil.hpp"
#include "python_runtime/main_thread.hpp"

namespace quendal::metal {
namespace {

constexpr double kButtonMargin = 12;
constexpr double kButtonMinimumX = 8;
constexpr double kButtonY = 8;

}  // namespace

void QuendalPyMetalSurfaceView::makeBackingLayer()
{
    layer_ = std::make_shared<gpu::MetalLayer>();
}

void QuendalPyMetalSurfaceView::backingGeometryChanged()
{
    if (!layer_ || !window()) return;
    const double scale = window()->backingScaleFactor();
    const ui::Size size = bounds().size;
    layer_->setContentsScale(scale);
    layer_->setDrawableSize(gpu::DrawableSize{size.width * scale, size.height * scale});
}

void QuendalPyMetalSurfaceView::nativeSurfaceAttached(const NativeSurface& surface)
{
    if (layer_) layer_->setSurfaceSource(surface);
}

QuendalPyMetalViewController::QuendalPyMetalViewController(std::string title)
    : windowTitle(std::move(title)), layoutRevision(1)
{
}

void QuendalPyMetalViewController::loadView()
{
    surfaceView = std::make_shared<QuendalPyMetalSurfaceView>(ui::Rect{{0, 0}, {960, 640}});
    surfaceView->setWantsLayer(true);
    setView(surfaceView);
    actionButton = std::make_shared<ui::Button>();
    actionButton->setTitle("");
    actionButton->setAction([this] { actionTapped(); });
    actionButton->setHidden(true);
    actionButton->setBezelStyle(1);
    surfaceView->addSubview(actionButton);
}

void QuendalPyMetalViewController::viewDidLayout()
{
    layoutRevision += 1;
    if (!actionButton || !surfaceView) return;
    actionButton->sizeToFit();
    const ui::Size fitted = actionButton->frame().size;
    const double x = std::max(kButtonMinimumX, surfaceView->bounds().size.width - fitted.width - kButtonMargin);
    actionButton->setFrame(ui::Rect{{x, kButtonY}, fitted});
}

void QuendalPyMetalViewController::windowDidChangeBackingProperties(ui::Window&)
{
    layoutRevision += 1;
}

bool QuendalPyMetalViewController::windowShouldClose(ui::Window&)
{
    closePressCount += 1;
    return false;
}

void QuendalPyMetalViewController::actionTapped()
{
    actionPressCount += 1;
}

void QuendalPyMetalViewController::consumeActionCount(int* action, int* close)
{
    if (action) *action = static_cast<int>(actionPressCount);
    if (close) *close = static_cast<int>(closePressCount);
    actionPressCount = 0;
    closePressCount = 0;
}

void QuendalPyMetalViewController::vsyncFired()
{
    if (vsyncSemaphore) vsyncSemaphore->signal();
}

void QuendalPyPumpEvents()
{
    if (!isMainThread()) return;
    ui::Application* application = ui::Application::shared();
    if (!application) return;
    pumpMainContext(128);
    application->updateWindows();
}

namespace {

// The application, then a window of the size showing a new controller's
// surface view, shown and laid out. Main thread.
std::shared_ptr<ui::Window> openWindow(const std::string& title, ui::Size size,
                                       std::shared_ptr<QuendalPyMetalViewController>& controller)
{
    ui::Application& application = ui::Application::sharedApplication();
    application.finishLaunching();
    application.activate();

    controller = std::make_shared<QuendalPyMetalViewController>(title);
    auto window = ui::Window::create(ui::Rect{{0, 0}, size}, ui::WindowStyleTitled | ui::WindowStyleClosable |
                                                                 ui::WindowStyleMiniaturizable |
                                                                 ui::WindowStyleResizable);
    window->setTitle(title);
    window->setContentViewController(controller);
    window->setDelegate(controller.get());
    window->setContentSize(size);
    window->center();
    window->makeKeyAndOrderFront();

    QuendalPyMetalSurfaceView& view = *controller->surfaceView;
    window->makeFirstResponder(&view);
    application.activate();
    view.layoutSubtreeIfNeeded();
    return window;
}

// The record of a window just opened: its layer set up for the first
// drawables, its display link ticking, its frame slot free. Main thread.
WindowRecord newWindowRecord(int64_t handle, std::shared_ptr<ui::Window> window,
                             std::shared_ptr<QuendalPyMetalViewController> controller,
                             std::shared_ptr<gpu::Device> gpuDevice, ui::Size size)
{
    QuendalPyMetalSurfaceView& view = *controller->surfaceView;
    view.windowHandle = handle;

    const std::shared_ptr<gpu::MetalLayer>& layer = view.layer();
    const double scale = window->backingScaleFactor();
    layer->setDevice(std::move(gpuDevice));
    layer->setPixelFormat(gpu::PixelFormat::BGRA8Unorm);
    layer->setFramebufferOnly(false);
    layer->setContentsScale(scale);
    layer->setDrawableSize(gpu::DrawableSize{size.width * scale, size.height * scale});

    WindowRecord record;
    record.handle = handle;
    record.vsyncSemaphore = std::make_shared<Semaphore>(0);
    controller->vsyncSemaphore = record.vsyncSemaphore;
    record.displayLink = ui::DisplayLink::create(view, [target = controller.get()] { target->vsyncFired(); });
    record.displayLink->addToMainRunLoop();
    record.window = std::move(window);
    record.controller = std::move(controller);
    record.layer = layer;
    record.slots.semaphore = std::make_shared<Semaphore>(1);
    record.input.activePointers.max_load_factor(1.0f);
    return record;
}

// Stops everything that could still reach the window and takes it off the
// screen; the record is erased next. Main thread, gStateMutex held.
void tearDownWindow(WindowRecord& record)
{
    if (record.displayLink) record.displayLink->invalidate();
    if (record.controller) record.controller->vsyncSemaphore.reset();
    // Wake whoever waits for a refresh or the frame slot.
    if (record.vsyncSemaphore) record.vsyncSemaphore->signal();
    if (record.slots.semaphore) record.slots.semaphore->signal();
    // An open frame's textures return to their resting layouts, as the layout
    // tracking expects, though its commands are never submitted.
    if (record.passes.render.encoder) record.passes.render.encoder->endEncoding();
    // The swapchain goes before the native window it presents to.
    if (record.layer) record.layer->discardDrawables();
    if (record.window) {
        record.window->setDelegate(nullptr);
        record.window->orderOut();
        record.window->close();
    }
}

}  // namespace

PyObject* metal_create_window(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"title", "orientation", nullptr};
    const char* title = "Metal";
    const char* orientation = "auto";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|ss", const_cast<char**>(kwlist), &title, &orientation)) {
        return nullptr;
    }
    const bool portrait = std::strcmp(orientation, "portrait") == 0;
    if (!portrait && std::strcmp(orientation, "auto") != 0 && std::strcmp(orientation, "landscape") != 0) {
        PyErr_SetString(PyExc_ValueError, "orientation must be 'auto', 'portrait', or 'landscape'.");
        return nullptr;
    }
    if (!isMainThread() && !applicationIsRunning()) {
        PyErr_SetString(PyExc_RuntimeError, "Create desktop scene windows on the main Python thread.");
        return nullptr;
    }
    if (!QuendalPyEnsureDevice("Metal is unavailable.")) return nullptr;

    const std::string titleText(title);
    const std::shared_ptr<gpu::Device> gpuDevice = device();
    const ui::Size size = portrait ? ui::Size{540, 800} : ui::Size{960, 640};
    int64_t handle = 0;
    runOnMainSync([&] {
        std::shared_ptr<QuendalPyMetalViewController> controller;
        auto window = openWindow(titleText, size, controller);
        handle = QuendalPyNextHandle();
        WindowRecord record = newWindowRecord(handle, std::move(window), std::move(controller), gpuDevice, size);
        std::lock_guard lock(gStateMutex);
        gWindows.emplace(handle, std::move(record));
    });
    return PyLong_FromLongLong(handle);
}

PyObject* metal_close_window(PyObject*, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    runOnMainSync([&] {
        std::optional<WindowRecord> closed;
        {
            std::lock_guard lock(gStateMutex);
            WindowRecord* record = QuendalPyFind(gWindows, handle);
            if (!record) return;
            tearDownWindow(*record);
            closed = std::move(*record);
            gWindows.erase(handle);
        }
        // The platform objects go after unlocking: tearing widgets down may call back.
    });
    Py_RETURN_NONE;
}

namespace {

PyObject* metalMacMetrics(int64_t handle, int64_t lastSeenRevision)
{
    double width = 0;
    double height = 0;
    double scale = 1;
    int64_t revision = 0;
    const bool found = QuendalPyWindowStep(handle, missing::kWindow, [&](WindowRecord& record, StepFailure&) {
        const ui::Size size = record.controller->surfaceView->bounds().size;
        width = size.width;
        height = size.height;
        scale = record.window->backingScaleFactor();
        revision = record.controller->layoutRevision;
    });
    if (!found) return nullptr;
    if (revision == lastSeenRevision) Py_RETURN_NONE;
    return Py_BuildValue("{s:L,s:(dd),s:(dd),s:d,s:(dddd)}", "revision", static_cast<long long>(revision), "size",
                         width, height, "pixel_size", width * scale, height * scale, "scale", scale, "safe_area", 0.0,
                         0.0, 0.0, 0.0);
}

}  // namespace

PyObject* metal_window_metrics(PyObject*, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    return metalMacMetrics(handle, -1);
}

PyObject* metal_window_metrics_if_changed(PyObject*, PyObject* args)
{
    long long handle = 0;
    long long revision = 0;
    if (!PyArg_ParseTuple(args, "LL", &handle, &revision)) return nullptr;
    return metalMacMetrics(handle, revision);
}

PyObject* metal_consume_actions(PyObject*, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    {
        GilRelease release;
        QuendalPyPumpEvents();
    }
    int action = 0;
    int close = 0;
    const bool found = QuendalPyWindowStep(handle, missing::kWindow, [&](WindowRecord& record, StepFailure&) {
        record.controller->consumeActionCount(&action, &close);
    });
    if (!found) return nullptr;
    return Py_BuildValue("{s:i,s:i}", "action", action, "close", close);
}

PyObject* metal_set_title(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"handle", "title", nullptr};
    long long handle = 0;
    const char* title = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Ls", const_cast<char**>(kwlist), &handle, &title)) return nullptr;
    const std::string text(title);
    return QuendalPyNoneUnlessFailed(
        QuendalPyWindowStep(handle, missing::kWindow, [&](WindowRecord& record, StepFailure&) {
            record.window->setTitle(text);
            record.controller->windowTitle = text;
        }));
}

PyObject* metal_set_action_label(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"handle", "label", nullptr};
    long long handle = 0;
    PyObject* label = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LO", const_cast<char**>(kwlist), &handle, &label)) return nullptr;
    std::string text;
    const bool hidden = label == Py_None;
    if (!hidden) {
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(label, &length);
        if (!utf8) return nullptr;
        text.assign(utf8, static_cast<size_t>(length));
    }
    return QuendalPyNoneUnlessFailed(
        QuendalPyWindowStep(handle, missing::kWindow, [&](WindowRecord& record, StepFailure&) {
            QuendalPyMetalViewController& controller = *record.controller;
            controller.actionButton->setHidden(hidden);
            controller.actionButton->setTitle(text);
            controller.surfaceView->setNeedsLayout(true);
        }));
}

}  // namespace quendal::metal
