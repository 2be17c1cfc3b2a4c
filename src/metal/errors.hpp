// How _metal fails: what each function raises for a handle that names nothing,
// the one lookup every function goes through, and the one table from facade
// errors to Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "metal/state.hpp"
#include "platform/gpu/result.hpp"

namespace quendal::metal {

// A Python exception type and its fixed message.
struct Failure {
    PyObject* const* type;  // &PyExc_KeyError, ...
    const char* message;
};

// Sets the exception and returns null, for `return QuendalPyRaise(...)`.
PyObject* QuendalPyRaise(const Failure& failure);
// Sets a Python exception whose message is UTF-8 text that may hold stray bytes.
void QuendalPySetError(PyObject* type, const std::string& message);

// What each function raises for an unknown handle, in the contract's words.
// Where one message covers several handles, every one of them is looked up
// with it before anything else is checked.
namespace missing {
// Windows, in the wording each group of functions uses.
inline constexpr Failure kWindow{&PyExc_KeyError, "Metal window handle not found."};  // metrics, titles, actions
inline constexpr Failure kPacingWindow{&PyExc_ValueError, "Invalid window handle."};  // pacing, touches
inline constexpr Failure kFrameWindow{&PyExc_RuntimeError, "_metal window handle not found."};  // frames, blit passes
inline constexpr Failure kComputeWindow{&PyExc_RuntimeError, "Invalid window handle."};  // begin/end_compute
// Compute bindings report a missing window as a missing pass.
inline constexpr Failure kComputePass{&PyExc_RuntimeError, "No active compute pass."};
inline constexpr Failure kFrameTarget{&PyExc_RuntimeError, "_metal target texture handle not found."};
// Render commands.
inline constexpr Failure kDrawWindow{&PyExc_KeyError, "_metal window handle not found."};
inline constexpr Failure kWindowOrPipeline{&PyExc_KeyError, "_metal window or pipeline handle not found."};
inline constexpr Failure kWindowOrBuffer{&PyExc_KeyError, "_metal window or buffer handle not found."};
inline constexpr Failure kWindowOrTexture{&PyExc_KeyError, "_metal window or texture handle not found."};
inline constexpr Failure kWindowOrIndexBuffer{&PyExc_KeyError, "_metal window or index buffer handle not found."};
inline constexpr Failure kWindowOrIndirectBuffer{&PyExc_KeyError,
                                                 "_metal window or indirect buffer handle not found."};
// draw_indexed_indirect and the blit encoding functions.
inline constexpr Failure kAnyHandle{&PyExc_KeyError, "_metal handle not found."};
// Compute bindings.
inline constexpr Failure kComputePipeline{&PyExc_KeyError, "Compute pipeline not found."};
inline constexpr Failure kComputeBuffer{&PyExc_KeyError, "Buffer not found."};
inline constexpr Failure kComputeTexture{&PyExc_KeyError, "Texture not found."};
// Resources.
inline constexpr Failure kWrittenBuffer{&PyExc_KeyError, "_metal buffer handle not found."};
inline constexpr Failure kReadBuffer{&PyExc_KeyError, "Buffer handle not found."};
inline constexpr Failure kRenderLibrary{&PyExc_KeyError, "_metal library handle not found."};
inline constexpr Failure kComputeLibrary{&PyExc_KeyError, "Library handle not found."};
}  // namespace missing

// The record that handle names, or null. gStateMutex held. Main-thread steps,
// which cannot raise, use this and hand the failure back to their caller.
template <class Record>
Record* QuendalPyFind(Registry<Record>& registry, int64_t handle)
{
    auto it = registry.find(handle);
    return it == registry.end() ? nullptr : &it->second;
}

// The record that handle names, or null with failure raised. gStateMutex held.
template <class Record>
Record* QuendalPyLookUp(Registry<Record>& registry, int64_t handle, const Failure& failure)
{
    Record* record = QuendalPyFind(registry, handle);
    if (!record) QuendalPyRaise(failure);
    return record;
}

// Runs use on the record of window under gStateMutex; an unknown window raises
// missing and gives false. Interpreter lock held, gStateMutex not held.
template <class Use>
bool QuendalPyWithWindow(int64_t window, const Failure& missing, Use&& use)
{
    std::lock_guard lock(gStateMutex);
    WindowRecord* record = QuendalPyLookUp(gWindows, window, missing);
    if (record) use(*record);
    return record != nullptr;
}

// Registers a new platform object under the next handle and returns the handle
// as a Python int. gStateMutex held.
template <class Record, class Object>
PyObject* QuendalPyRegister(Registry<Record>& registry, Object object)
{
    const int64_t handle = QuendalPyNextHandle();
    registry.emplace(handle, Record{handle, std::move(object)});
    return PyLong_FromLongLong(handle);
}

// Takes the record of handle out of its registry under gStateMutex and hands it
// back, so that its platform objects are released after unlocking (or later,
// while a command buffer holds them). An unknown handle gives nothing.
template <class Record>
std::optional<Record> QuendalPyErase(Registry<Record>& registry, int64_t handle)
{
    std::lock_guard lock(gStateMutex);
    auto node = registry.extract(handle);
    if (node.empty()) return std::nullopt;
    return std::move(node.mapped());
}

// A destroy function: one positional handle, erased if known; returns None.
template <class Record>
PyObject* QuendalPyDestroy(Registry<Record>& registry, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    QuendalPyErase(registry, handle);
    Py_RETURN_NONE;
}

// The failure of a main-thread step, which cannot raise: set there, raised by
// the calling function once runOnMainSync has returned.
class StepFailure {
public:
    void set(const Failure& failure) { set(failure.type, failure.message); }
    void set(PyObject* const* type, std::string message)
    {
        type_ = type;
        message_ = std::move(message);
    }
    void setRuntime(std::string message) { set(&PyExc_RuntimeError, std::move(message)); }
    explicit operator bool() const { return type_ != nullptr; }
    // Raises the failure and returns null. Interpreter lock held.
    PyObject* raise() const;

private:
    PyObject* const* type_ = nullptr;
    std::string message_;
};

// The main-thread step of a window function: runs step on the main thread with
// gStateMutex held, on the record of window; an unknown window fails with
// missing. Raises whatever the step failed with and returns false; true when it
// succeeded. Interpreter lock held, gStateMutex not held.
using WindowStep = std::function<void(WindowRecord& record, StepFailure& failure)>;
bool QuendalPyWindowStep(int64_t window, const Failure& missing, const WindowStep& step);

// None when ok, else null (the exception is set).
inline PyObject* QuendalPyNoneUnlessFailed(bool ok)
{
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

// The one table from facade failures to Python exceptions. A failure that the
// facade reports as a refused argument (validation failed) is a ValueError;
// every other kind is the platform's failure and raises `platform`, which is
// RuntimeError unless the function's contract names another type for it. The
// message is context, the facade's reason, then end.
PyObject* QuendalPyExceptionFor(gpu::ErrorKind kind, PyObject* platform = PyExc_RuntimeError);
PyObject* QuendalPySetGpuError(const gpu::Error& error, const char* context = "", const char* end = "",
                               PyObject* platform = PyExc_RuntimeError);

}  // namespace quendal::metal
