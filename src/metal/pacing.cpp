// Frame pacing: the display link's rate, waits for a display refresh, and the
// window's one onscreen frame slot.
#include <chrono>

#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/state.hpp"
#include "metal/window.hpp"
#include "platform/ui/display_link.hpp"
#include "python_runtime/gil.hpp"
#include "python_runtime/main_thread.hpp"

namespace quendal::metal {
namespace {

constexpr int kFallbackMaximumFps = 60;
constexpr auto kVsyncTimeout = std::chrono::nanoseconds(250'000'000);
constexpr auto kWorkerWaitSlice = std::chrono::nanoseconds(10'000'000);
constexpr int kMainRunLoopSliceMs = 10;

// Interpreter lock released.
void waitForRefresh(Semaphore& refresh)
{
    if (refresh.tryWait()) {
        // Refreshes missed while Python was busy collapse into this one.
        while (refresh.tryWait()) {
        }
        return;
    }
    const bool onMain = isMainThread();
    const auto deadline = std::chrono::steady_clock::now() + kVsyncTimeout;
    while (true) {
        if (refresh.tryWait()) break;
        if (onMain) {
            // The display link ticks on the main context: keep it turning.
            QuendalPyPumpEvents();
            runMainContextOnce(kMainRunLoopSliceMs);
        } else if (refresh.waitFor(kWorkerWaitSlice)) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            refresh.tryWait();
            break;
        }
    }
    QuendalPyPumpEvents();
}

}  // namespace

PyObject* metal_set_target_fps(PyObject*, PyObject* args)
{
    long long handle = 0;
    int fps = 0;
    if (!PyArg_ParseTuple(args, "Li", &handle, &fps)) return nullptr;
    int rate = fps < 2 ? 1 : fps;
    runOnMainSync([&] {
        std::lock_guard lock(gStateMutex);
        WindowRecord* record = QuendalPyFind(gWindows, handle);
        if (!record || !record->displayLink) return;
        int maximum = record->window->screenMaximumFramesPerSecond();
        if (maximum < 1) maximum = kFallbackMaximumFps;
        if (maximum < rate) rate = maximum;
        record->displayLink->setPreferredFrameRateRange(rate, rate, rate);
    });
    return PyLong_FromLong(rate);
}

PyObject* metal_acquire_frame_slot(PyObject*, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    std::shared_ptr<Semaphore> slot;
    bool held = false;
    if (!QuendalPyWithWindow(handle, missing::kPacingWindow, [&](WindowRecord& record) {
            held = record.slots.held;
            slot = record.slots.semaphore;
        })) {
        return nullptr;
    }
    if (held) Py_RETURN_NONE;
    {
        GilRelease release;
        slot->wait();
    }
    std::lock_guard lock(gStateMutex);
    WindowRecord* record = QuendalPyLookUp(gWindows, handle, missing::kPacingWindow);
    // Closing signalled the semaphore to wake us: pass that signal on, as a
    // second holder does.
    if (!record || record->slots.held) {
        slot->signal();
        return QuendalPyNoneUnlessFailed(record != nullptr);
    }
    record->slots.held = true;
    Py_RETURN_NONE;
}

PyObject* metal_release_frame_slot(PyObject*, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    // A slot held by an open frame goes with that frame's command buffer.
    std::shared_ptr<Semaphore> slot;
    if (!QuendalPyWithWindow(handle, missing::kPacingWindow, [&](WindowRecord& record) {
            if (!record.slots.held || record.passes.render.active) return;
            record.slots.held = false;
            slot = record.slots.semaphore;
        })) {
        return nullptr;
    }
    if (slot) slot->signal();
    Py_RETURN_NONE;
}

PyObject* metal_vsync(PyObject*, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    std::shared_ptr<Semaphore> refresh;
    if (!QuendalPyWithWindow(handle, missing::kPacingWindow,
                             [&](WindowRecord& record) { refresh = record.vsyncSemaphore; })) {
        return nullptr;
    }
    if (!refresh) Py_RETURN_NONE;

    {
        GilRelease release;
        waitForRefresh(*refresh);
    }
    Py_RETURN_NONE;
}

}  // namespace quendal::metal
