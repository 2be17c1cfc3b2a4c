// Pointer and key input: mouse buttons become touch-like pointer events with
// ids; Escape counts as a press of the close button.
#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/state.hpp"
#include "metal/window.hpp"

namespace quendal::metal {
namespace {

constexpr size_t kTouchQueueCapacity = 4096;

}  // namespace

void QuendalPyMetalSurfaceView::mouseDown(const ui::Event& event)
{
    quendalPointer(event, 0);
}

void QuendalPyMetalSurfaceView::mouseDragged(const ui::Event& event)
{
    quendalPointer(event, 1);
}

void QuendalPyMetalSurfaceView::mouseUp(const ui::Event& event)
{
    quendalPointer(event, 2);
}

void QuendalPyMetalSurfaceView::rightMouseDown(const ui::Event& event)
{
    quendalPointer(event, 0);
}

void QuendalPyMetalSurfaceView::rightMouseDragged(const ui::Event& event)
{
    quendalPointer(event, 1);
}

void QuendalPyMetalSurfaceView::rightMouseUp(const ui::Event& event)
{
    quendalPointer(event, 2);
}

void QuendalPyMetalSurfaceView::quendalPointer(const ui::Event& event, int phase)
{
    std::lock_guard lock(gStateMutex);
    WindowRecord* record = QuendalPyFind(gWindows, windowHandle);
    if (!record) return;
    InputState& input = record->input;
    const int64_t key = static_cast<int64_t>(event.buttonNumber) + 1;
    int64_t id = 0;
    if (phase == 0) {
        id = input.nextPointerId++;
        input.activePointers[key] = id;
    } else {
        auto pointer = input.activePointers.find(key);
        if (pointer == input.activePointers.end()) return;
        id = pointer->second;
    }
    const ui::Point position = convertPointFromWindow(event.locationInWindow);
    const ui::Point previous = phase == 0 ? position : previousPointer;
    previousPointer = position;
    while (input.touches.size() >= kTouchQueueCapacity) input.touches.pop_front();
    input.touches.push_back(TouchEvent{phase, id, position.x, position.y, previous.x, previous.y, event.timestamp});
    if (phase == 2) input.activePointers.erase(key);
}

void QuendalPyMetalSurfaceView::keyDown(const ui::Event& event)
{
    if (event.keyCode != ui::kKeyCodeEscape) {
        View::keyDown(event);
        return;
    }
    if (!window()) return;
    if (auto* controller = dynamic_cast<QuendalPyMetalViewController*>(window()->contentViewController())) {
        controller->closePressCount += 1;
    }
}

PyObject* metal_consume_touches(PyObject*, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    std::deque<TouchEvent> touches;
    if (!QuendalPyWithWindow(handle, missing::kPacingWindow,
                             [&](WindowRecord& record) { touches.swap(record.input.touches); })) {
        return nullptr;
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(touches.size()));
    if (!list) return nullptr;
    Py_ssize_t index = 0;
    for (const TouchEvent& touch : touches) {
        PyObject* item = Py_BuildValue("{s:i,s:L,s:d,s:d,s:d,s:d,s:d}", "phase", touch.phase, "id",
                                       static_cast<long long>(touch.id), "x", touch.x, "y", touch.y, "prev_x",
                                       touch.prevX, "prev_y", touch.prevY, "timestamp", touch.timestamp);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, index++, item);
    }
    return list;
}

}  // namespace quendal::metal
