// Buffers: shared CPU/GPU storage filled and read by plain memory copies.
#include <cstring>

#include "metal/functions.hpp"
#include "metal/state.hpp"

namespace quendal::metal {

PyObject* metal_create_buffer(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"length", nullptr};
    long long length = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "L", const_cast<char**>(kwlist), &length)) return nullptr;
    if (!QuendalPyEnsureDevice("Metal device is unavailable on this device.")) return nullptr;
    if (length <= 0) {
        PyErr_SetString(PyExc_ValueError, "Buffer length must be positive.");
        return nullptr;
    }
    auto buffer = device()->newBuffer(static_cast<uint64_t>(length));
    if (!buffer) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to allocate Metal buffer.");
        return nullptr;
    }
    const int64_t handle = QuendalPyNextHandle();
    std::lock_guard lock(gStateMutex);
    gBuffers.emplace(handle, BufferRecord{handle, std::move(buffer.value())});
    return PyLong_FromLongLong(handle);
}

PyObject* metal_destroy_buffer(PyObject*, PyObject* args)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    std::shared_ptr<gpu::Buffer> released;
    {
        std::lock_guard lock(gStateMutex);
        auto it = gBuffers.find(handle);
        if (it != gBuffers.end()) {
            released = std::move(it->second.buffer);
            gBuffers.erase(it);
        }
    }
    // The Vulkan objects go outside the lock (or later, if a command buffer holds them).
    released.reset();
    Py_RETURN_NONE;
}

PyObject* metal_write_buffer(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"handle", "data", "offset", nullptr};
    long long handle = 0;
    PyObject* data = nullptr;
    long long offset = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LO|L", const_cast<char**>(kwlist), &handle, &data, &offset)) {
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return nullptr;

    const char* error = nullptr;
    PyObject* errorType = nullptr;
    {
        std::lock_guard lock(gStateMutex);
        auto it = gBuffers.find(handle);
        if (it == gBuffers.end()) {
            errorType = PyExc_KeyError;
            error = "_metal buffer handle not found.";
        } else {
            const gpu::Buffer& buffer = *it->second.buffer;
            const uint64_t size = static_cast<uint64_t>(view.len);
            // offset + size could wrap; compare against what is left instead.
            if (offset < 0 || static_cast<uint64_t>(offset) > buffer.length() ||
                size > buffer.length() - static_cast<uint64_t>(offset)) {
                errorType = PyExc_ValueError;
                error = "Buffer write exceeds Metal buffer length.";
            } else if (size > 0) {
                std::memcpy(static_cast<char*>(buffer.contents()) + offset, view.buf, size);
            }
        }
    }
    PyBuffer_Release(&view);
    if (error) {
        PyErr_SetString(errorType, error);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* metal_read_buffer(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"handle", "offset", "length", nullptr};
    long long handle = 0;
    Py_ssize_t offset = 0;
    Py_ssize_t length = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "L|nn", const_cast<char**>(kwlist), &handle, &offset, &length)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    auto it = gBuffers.find(handle);
    if (it == gBuffers.end()) {
        PyErr_SetString(PyExc_KeyError, "Buffer handle not found.");
        return nullptr;
    }
    const gpu::Buffer& buffer = *it->second.buffer;
    const uint64_t total = buffer.length();
    if (offset < 0 || static_cast<uint64_t>(offset) > total) {
        PyErr_SetString(PyExc_ValueError, "read_buffer: offset/length out of range.");
        return nullptr;
    }
    if (length < 0) length = static_cast<Py_ssize_t>(total - static_cast<uint64_t>(offset));
    if (static_cast<uint64_t>(length) > total - static_cast<uint64_t>(offset)) {
        PyErr_SetString(PyExc_ValueError, "read_buffer: offset/length out of range.");
        return nullptr;
    }
    return PyBytes_FromStringAndSize(static_cast<const char*>(buffer.contents()) + offset, length);
}

}  // namespace quendal::metal
