// start, poll and close: the request protocol as Python sees it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <exception>

#include <glib.h>

#include "python_runtime/gil.hpp"
#include "python_runtime/main_thread.hpp"
#include "system/dispatch.hpp"
#include "system/functions.hpp"

namespace quendal::system {
namespace {

// The capsule's pointer is a heap-held shared reference, so platform callbacks
// may keep the request alive after the capsule is gone.
void QuendalPyReleaseRequest(PyObject* capsule)
{
    auto* ref = static_cast<RequestRef*>(PyCapsule_GetPointer(capsule, kRequestCapsuleName));
    if (!ref) {
        PyErr_Clear();
        return;
    }
    if (isMainThread()) {
        (*ref)->close();
        delete ref;
        return;
    }
    // Never wait here: a destructor may run on any thread, at any time. The
    // queued task owns the reference and closes the request on the main thread.
    GSource* source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            (*static_cast<RequestRef*>(data))->close();
            return G_SOURCE_REMOVE;
        },
        ref, [](gpointer data) { delete static_cast<RequestRef*>(data); });
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
}

int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Waits for news until the deadline. On the main thread it keeps the default main
// context turning, so platform callbacks and clipboard requests of other programs
// are served while Python owns the thread. Called without the interpreter lock.
void waitForNews(QuendalPyRequest& request, double interval)
{
    const int64_t deadline = monotonicNs() + static_cast<int64_t>(interval * 1e9);
    const bool onMain = isMainThread();
    if (onMain) request.setMainThreadWaiting(true);
    struct Done {
        QuendalPyRequest& request;
        bool onMain;
        ~Done()
        {
            if (onMain) request.setMainThreadWaiting(false);
        }
    } done{request, onMain};
    for (;;) {
        if (request.tryWait()) return;
        if (onMain) {
            pumpMainContext(128);
            if (request.tryWait()) return;
            const int64_t leftMs = (deadline - monotonicNs() + 999999) / 1000000;
            runMainContextOnce(static_cast<int>(std::clamp<int64_t>(leftMs, 0, 10)));
        } else {
            const int64_t left = deadline - monotonicNs();
            if (request.waitFor(std::clamp<int64_t>(left, 0, 10000000))) return;
        }
        if (monotonicNs() >= deadline) {
            request.tryWait();
            return;
        }
    }
}

}  // namespace

PyObject* QuendalPyWrapRequest(RequestRef request)
{
    auto* ref = new RequestRef(std::move(request));
    PyObject* capsule = PyCapsule_New(ref, kRequestCapsuleName, QuendalPyReleaseRequest);
    if (!capsule) delete ref;
    return capsule;
}

RequestRef QuendalPyUnwrapRequest(PyObject* handle)
{
    auto* ref = static_cast<RequestRef*>(PyCapsule_GetPointer(handle, kRequestCapsuleName));
    return ref ? *ref : nullptr;
}

PyObject* system_start(PyObject*, PyObject* args)
{
    const char* operationText = nullptr;
    const char* payloadText = nullptr;
    Py_ssize_t payloadLength = 0;
    if (!PyArg_ParseTuple(args, "ss#:start", &operationText, &payloadText, &payloadLength)) return nullptr;

    const std::string operation(operationText);
    // A raw NUL byte is never valid JSON, but the parser would take it for the
    // end of the text and accept what came before.
    const bool hasNul = std::memchr(payloadText, '\0', static_cast<size_t>(payloadLength)) != nullptr;
    Json payload = hasNul ? Json(nullptr) : Json::parse(payloadText, payloadText + payloadLength, nullptr, false);
    if (!payload.is_object()) {
        PyErr_SetString(PyExc_ValueError, "The operation payload must be a JSON object.");
        return nullptr;
    }
    if (!isMainThread() && !applicationIsRunning()) {
        PyErr_SetString(PyExc_RuntimeError, "Call system APIs on the Python main thread, or run an AppKit event loop.");
        return nullptr;
    }

    RequestRef request;
    {
        GilRelease release;
        runOnMainSync([&] {
            try {
                request = QuendalPyStart(operation, payload);
            } catch (const std::exception& error) {
                request = QuendalPyFailure("runtime", std::string(error.what()));
            } catch (...) {
                request = QuendalPyFailure("runtime", std::nullopt);
            }
        });
    }
    return QuendalPyWrapRequest(std::move(request));
}

PyObject* system_poll(PyObject*, PyObject* args)
{
    PyObject* handle = nullptr;
    double interval = 0;
    int consume = 1;
    if (!PyArg_ParseTuple(args, "Od|p:poll", &handle, &interval, &consume)) return nullptr;
    RequestRef request = QuendalPyUnwrapRequest(handle);
    if (!request) return nullptr;
    if (!std::isfinite(interval) || interval < 0 || interval > 0.25) {
        PyErr_SetString(PyExc_ValueError, "The native polling interval must be between 0 and 0.25 seconds.");
        return nullptr;
    }

    if (!request->hasNews() && interval > 0) {
        GilRelease release;
        waitForNews(*request, interval);
    }
    if (PyErr_CheckSignals() != 0) return nullptr;

    std::string text;
    try {
        text = request->snapshotText(consume != 0);
    } catch (const std::exception&) {
        PyErr_SetString(PyExc_RuntimeError, "The system returned non-serializable data.");
        return nullptr;
    }
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* system_close(PyObject*, PyObject* handle)
{
    RequestRef request = QuendalPyUnwrapRequest(handle);
    if (!request) return nullptr;
    {
        GilRelease release;
        runOnMainSync([&] { request->close(); });
    }
    Py_RETURN_NONE;
}

}  // namespace quendal::system
