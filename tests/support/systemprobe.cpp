// Test-only module: the system request protocol (start, poll, close) built from
// the same sources as _quendal._system, plus requests that the tests feed
// directly, from the calling thread or from a thread of their own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "system/functions.hpp"

namespace {

using quendal::system::Json;
using quendal::system::RequestRef;

bool parseJson(const char* text, Py_ssize_t length, Json& out)
{
    out = Json::parse(text, text + length, nullptr, false);
    if (out.is_discarded()) {
        PyErr_SetString(PyExc_ValueError, "invalid JSON");
        return false;
    }
    return true;
}

// make_request(capacity=128) -> handle
PyObject* make_request(PyObject*, PyObject* args)
{
    unsigned long long capacity = quendal::system::QuendalPyRequest::kDefaultCapacity;
    if (!PyArg_ParseTuple(args, "|K", &capacity)) return nullptr;
    auto request = std::make_shared<quendal::system::QuendalPyRequest>();
    request->setCapacity(capacity);
    return quendal::system::QuendalPyWrapRequest(std::move(request));
}

// push(handle, json) / finish(handle, json or None)
PyObject* push(PyObject*, PyObject* args)
{
    PyObject* handle;
    const char* text;
    Py_ssize_t length;
    if (!PyArg_ParseTuple(args, "Os#", &handle, &text, &length)) return nullptr;
    RequestRef request = quendal::system::QuendalPyUnwrapRequest(handle);
    Json sample;
    if (!request || !parseJson(text, length, sample)) return nullptr;
    request->push(std::move(sample));
    Py_RETURN_NONE;
}

PyObject* finish(PyObject*, PyObject* args)
{
    PyObject* handle;
    const char* text = nullptr;
    Py_ssize_t length = 0;
    if (!PyArg_ParseTuple(args, "Oz#", &handle, &text, &length)) return nullptr;
    RequestRef request = quendal::system::QuendalPyUnwrapRequest(handle);
    Json value = nullptr;
    if (!request || (text && !parseJson(text, length, value))) return nullptr;
    request->finish(std::move(value));
    Py_RETURN_NONE;
}

// fail(handle, kind, message or None)
PyObject* fail(PyObject*, PyObject* args)
{
    PyObject* handle;
    const char* kind;
    const char* message = nullptr;
    if (!PyArg_ParseTuple(args, "Osz", &handle, &kind, &message)) return nullptr;
    RequestRef request = quendal::system::QuendalPyUnwrapRequest(handle);
    if (!request) return nullptr;
    request->fail(kind, message ? std::optional<std::string>(message) : std::nullopt);
    Py_RETURN_NONE;
}

// push_later(handle, json, delay_seconds, finish=False): records the sample (or
// the result) on a new thread after the delay, the way a platform callback does.
PyObject* push_later(PyObject*, PyObject* args)
{
    PyObject* handle;
    const char* text;
    Py_ssize_t length;
    double delay;
    int asResult = 0;
    if (!PyArg_ParseTuple(args, "Os#d|p", &handle, &text, &length, &delay, &asResult)) return nullptr;
    RequestRef request = quendal::system::QuendalPyUnwrapRequest(handle);
    Json value;
    if (!request || !parseJson(text, length, value)) return nullptr;
    std::thread([request, value = std::move(value), delay, asResult]() mutable {
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        if (asResult) {
            request->finish(std::move(value));
        } else {
            request->push(std::move(value));
        }
    }).detach();
    Py_RETURN_NONE;
}

// push_stamped_later(handle, delay_seconds, finish=False): like push_later, with
// the CLOCK_MONOTONIC nanoseconds of the moment of recording as the value, so
// that a benchmark can measure the wake-up latency of poll.
PyObject* push_stamped_later(PyObject*, PyObject* args)
{
    PyObject* handle;
    double delay;
    int asResult = 0;
    if (!PyArg_ParseTuple(args, "Od|p", &handle, &delay, &asResult)) return nullptr;
    RequestRef request = quendal::system::QuendalPyUnwrapRequest(handle);
    if (!request) return nullptr;
    std::thread([request, delay, asResult] {
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t stamp = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
        if (asResult) {
            request->finish(stamp);
        } else {
            request->push(stamp);
        }
    }).detach();
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"start", quendal::system::system_start, METH_VARARGS, nullptr},
    {"poll", quendal::system::system_poll, METH_VARARGS, nullptr},
    {"close", quendal::system::system_close, METH_O, nullptr},
    {"make_request", make_request, METH_VARARGS, nullptr},
    {"push", push, METH_VARARGS, nullptr},
    {"finish", finish, METH_VARARGS, nullptr},
    {"fail", fail, METH_VARARGS, nullptr},
    {"push_later", push_later, METH_VARARGS, nullptr},
    {"push_stamped_later", push_stamped_later, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_quendal_systemprobe", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__quendal_systemprobe()
{
    return PyModule_Create(&module);
}
