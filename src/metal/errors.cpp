#include "metal/errors.hpp"

#include "python_runtime/main_thread.hpp"

namespace quendal::metal {

PyObject* QuendalPyRaise(const Failure& failure)
{
    PyErr_SetString(*failure.type, failure.message);
    return nullptr;
}

void QuendalPySetError(PyObject* type, const std::string& message)
{
    // Compiler logs quote the user's text; never let a stray byte turn the
    // error into a decoding error.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

PyObject* StepFailure::raise() const
{
    QuendalPySetError(*type_, message_);
    return nullptr;
}

bool QuendalPyWindowStep(int64_t window, const Failure& missing, const WindowStep& step)
{
    StepFailure failure;
    runOnMainSync([&] {
        std::lock_guard lock(gStateMutex);
        if (WindowRecord* record = QuendalPyFind(gWindows, window)) {
            step(*record, failure);
        } else {
            failure.set(missing);
        }
    });
    if (!failure) return true;
    failure.raise();
    return false;
}

PyObject* QuendalPyExceptionFor(gpu::ErrorKind kind, PyObject* platform)
{
    switch (kind) {
    case gpu::ErrorKind::ValidationFailed: return PyExc_ValueError;
    case gpu::ErrorKind::Unknown:
    case gpu::ErrorKind::OutOfMemory:
    case gpu::ErrorKind::DeviceLost:
    case gpu::ErrorKind::Unsupported:
    case gpu::ErrorKind::InvalidArgument:
    case gpu::ErrorKind::InvalidShader:
    case gpu::ErrorKind::InitializationFailed:
    case gpu::ErrorKind::SurfaceLost:
    case gpu::ErrorKind::SurfaceOutOfDate:
    case gpu::ErrorKind::Timeout: return platform;
    }
    return platform;
}

PyObject* QuendalPySetGpuError(const gpu::Error& error, const char* context, const char* end, PyObject* platform)
{
    QuendalPySetError(QuendalPyExceptionFor(error.kind, platform), context + error.reason + end);
    return nullptr;
}

}  // namespace quendal::metal
