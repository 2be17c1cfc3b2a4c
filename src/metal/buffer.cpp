// Buffers: shared CPU/GPU storage filled and read by plain memory copies.
#include <cstring>

#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/state.hpp"
#include "platform/process/memory.hpp"
#include "python_runtime/gil.hpp"

namespace quendal::metal {

namespace {

// From here on a read fills its result with the interpreter lock released and
// by huge pages.
constexpr Py_ssize_t kLargeRead = Py_ssize_t{1} << 21;

}  // namespace

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
    std::lock_guard lock(gStateMutex);
    return QuendalPyRegister(gBuffers, std::move(buffer.value()));
}

PyObject* metal_destroy_buffer(PyObject*, PyObject* args)
{
    return QuendalPyDestroy(gBuffers, args);
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

    bool written = false;
    {
        std::lock_guard lock(gStateMutex);
        if (BufferRecord* record = QuendalPyLookUp(gBuffers, handle, missing::kWrittenBuffer)) {
            const gpu::Buffer& buffer = *record->buffer;
            const uint64_t size = static_cast<uint64_t>(view.len);
            // offset + size could wrap; compare against what is left instead.
            if (offset < 0 || static_cast<uint64_t>(offset) > buffer.length() ||
                size > buffer.length() - static_cast<uint64_t>(offset)) {
                PyErr_SetString(PyExc_ValueError, "Buffer write exceeds Metal buffer length.");
            } else {
                if (size > 0) std::memcpy(static_cast<char*>(buffer.contents()) + offset, view.buf, size);
                written = true;
            }
        }
    }
    PyBuffer_Release(&view);
    return QuendalPyNoneUnlessFailed(written);
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
    std::shared_ptr<gpu::Buffer> held;
    {
        std::lock_guard lock(gStateMutex);
        BufferRecord* record = QuendalPyLookUp(gBuffers, handle, missing::kReadBuffer);
        if (!record) return nullptr;
        held = record->buffer;
    }
    const gpu::Buffer& buffer = *held;
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
    const char* source = static_cast<const char*>(buffer.contents()) + offset;
    if (length < kLargeRead) return PyBytes_FromStringAndSize(source, length);
    // A large result is new memory filled once: fault it in by huge pages, and
    // let other threads run meanwhile (the held reference keeps the storage).
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, length);
    if (!bytes) return nullptr;
    char* destination = PyBytes_AS_STRING(bytes);
    {
        GilRelease release;
        process::adviseFillingAtOnce(destination, static_cast<uint64_t>(length));
        std::memcpy(destination, source, static_cast<size_t>(length));
    }
    return bytes;
}

}  // namespace quendal::metal
