// Render commands: binding and drawing into a window's open render frame. Each
// looks its window and resources up, checks that a frame is open, checks that
// the GPU would stay inside the buffers, and makes one encoder call.
#include <cstring>
#include <limits>
#include <initializer_list>
#include <string>
#include <string_view>

#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/names.hpp"
#include "metal/state.hpp"
#include "platform/gpu/pipeline_layout.hpp"
#include "platform/gpu/render_command_encoder.hpp"

namespace quendal::metal {

namespace {

constexpr long long kMaxCount = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kDrawArgumentsBytes = 16;
constexpr uint64_t kIndexedDrawArgumentsBytes = 20;

// Draw calls come thousands a frame, nearly always positional with plain ints
// and a str; the generic parser costs more than the draw itself. Anything else
// (keywords, int subclasses, overflow) is left to PyArg_ParseTupleAndKeywords,
// which also words the errors. pattern holds 'L' (long long) or 's' (str).
bool parsePlainPositional(PyObject* args, PyObject* kwargs, std::string_view pattern,
                          std::initializer_list<void*> outputs)
{
    const auto arity = static_cast<Py_ssize_t>(pattern.size());
    if ((kwargs && PyDict_GET_SIZE(kwargs) != 0) || PyTuple_GET_SIZE(args) != arity) return false;
    auto out = outputs.begin();
    for (size_t i = 0; i < pattern.size(); ++i, ++out) {
        PyObject* item = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
        if (pattern[i] == 'L') {
            int overflow = 0;
            if (!PyLong_CheckExact(item)) return false;
            const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (overflow) return false;
            *static_cast<long long*>(*out) = value;
        } else {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_CheckExact(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
            if (!text) {
                PyErr_Clear();
                return false;
            }
            if (std::strlen(text) != static_cast<size_t>(size)) return false;
            *static_cast<const char**>(*out) = text;
        }
    }
    return true;
}

gpu::PrimitiveType primitiveTypeFromName(const char* name)
{
    static constexpr Named<gpu::PrimitiveType> table[] = {
        {"point", gpu::PrimitiveType::Point},       {"line", gpu::PrimitiveType::Line},
        {"line_strip", gpu::PrimitiveType::LineStrip}, {"triangle", gpu::PrimitiveType::Triangle},
        {"triangle_strip", gpu::PrimitiveType::TriangleStrip},
    };
    return valueNamed(table, name, gpu::PrimitiveType::TriangleStrip);
}

gpu::IndexType indexTypeFromName(const char* name)
{
    return std::strcmp(name, "uint32") == 0 ? gpu::IndexType::UInt32 : gpu::IndexType::UInt16;
}

// The open frame's encoder, or null with RuntimeError message set.
gpu::RenderCommandEncoder* openEncoder(WindowRecord& record, const char* message)
{
    const RenderFrame& frame = record.passes.render;
    if (!frame.active || !frame.encoder) {
        PyErr_SetString(PyExc_RuntimeError, message);
        return nullptr;
    }
    return frame.encoder.get();
}

// The window's open encoder and the resource that a render command names. Both
// handles are looked up first, with the function's one message for either;
// then the frame must be open. Null with the exception raised otherwise.
// gStateMutex held.
template <class Record>
gpu::RenderCommandEncoder* openEncoderAnd(int64_t window, Registry<Record>& registry, int64_t handle,
                                          const Failure& missing, const char* noFrame, Record*& resource)
{
    WindowRecord* w = QuendalPyLookUp(gWindows, window, missing);
    resource = w ? QuendalPyLookUp(registry, handle, missing) : nullptr;
    return resource ? openEncoder(*w, noFrame) : nullptr;
}

bool valueError(const char* message)
{
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

bool checkIndex(long long index)
{
    if (index < 0 || index >= gpu::kBindingsPerSet) {
        return valueError(("index must be between 0 and " + std::to_string(gpu::kBindingsPerSet - 1) + ".").c_str());
    }
    return true;
}

bool checkCount(long long value, const char* what)
{
    if (value < 0 || value > kMaxCount) {
        return valueError((std::string(what) + " must be between 0 and " + std::to_string(kMaxCount) + ".").c_str());
    }
    return true;
}

// Indices [offset, offset + count * size) must lie in the buffer.
bool checkIndices(const gpu::Buffer& buffer, gpu::IndexType type, long long count, long long offset)
{
    if (!checkCount(count, "index_count")) return false;
    const uint64_t size = gpu::indexSize(type);
    if (offset < 0 || static_cast<uint64_t>(offset) % size) {
        return valueError("The index buffer offset must be a non-negative multiple of the index size.");
    }
    const uint64_t start = static_cast<uint64_t>(offset);
    if (start > buffer.length() || static_cast<uint64_t>(count) > (buffer.length() - start) / size) {
        return valueError("The indices lie outside the index buffer.");
    }
    return true;
}

bool checkIndirect(const gpu::Buffer& buffer, long long offset, uint64_t bytes)
{
    if (offset < 0 || offset % 4) return valueError("The indirect buffer offset must be a non-negative multiple of 4.");
    const uint64_t start = static_cast<uint64_t>(offset);
    if (start > buffer.length() || buffer.length() - start < bytes) {
        return valueError("The draw arguments lie outside the indirect buffer.");
    }
    return true;
}

// Reports a draw the encoder refused.
PyObject* drawResult(const gpu::Status& status)
{
    if (status) Py_RETURN_NONE;
    return QuendalPySetGpuError(status.error());
}

bool hasPipeline(gpu::RenderCommandEncoder& encoder)
{
    if (encoder.hasRenderPipelineState()) return true;
    PyErr_SetString(PyExc_RuntimeError, "set_pipeline() must be called before drawing.");
    return false;
}

PyObject* setBuffer(PyObject* args, PyObject* kwargs, bool vertex)
{
    static const char* kwlist[] = {"window", "buffer", "index", "offset", nullptr};
    long long window = 0;
    long long bufferHandle = 0;
    long long index = 0;
    long long offset = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LLL|L", const_cast<char**>(kwlist), &window, &bufferHandle, &index,
                                     &offset)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    BufferRecord* b = nullptr;
    gpu::RenderCommandEncoder* encoder =
        openEncoderAnd(window, gBuffers, bufferHandle, missing::kWindowOrBuffer,
                       vertex ? "begin_frame() must be called before set_vertex_buffer()."
                              : "begin_frame() must be called before set_fragment_buffer().",
                       b);
    if (!encoder || !checkIndex(index)) return nullptr;
    if (offset < 0 || static_cast<uint64_t>(offset) >= b->buffer->length()) {
        PyErr_SetString(PyExc_ValueError, "offset must be at least 0 and less than the buffer's length.");
        return nullptr;
    }
    if (vertex) {
        encoder->setVertexBuffer(b->buffer, static_cast<uint64_t>(offset), static_cast<uint32_t>(index));
    } else {
        encoder->setFragmentBuffer(b->buffer, static_cast<uint64_t>(offset), static_cast<uint32_t>(index));
    }
    Py_RETURN_NONE;
}

PyObject* drawArrays(PyObject* args, PyObject* kwargs, bool instanced)
{
    static const char* kwlist[] = {"window", "primitive", "vertex_start", "vertex_count", nullptr};
    static const char* instancedKwlist[] = {"window",       "primitive",      "vertex_start",
                                            "vertex_count", "instance_count", nullptr};
    long long window = 0;
    const char* primitive = nullptr;
    long long start = 0;
    long long count = 0;
    long long instances = 1;
    const char* format = instanced ? "LsLLL" : "LsLL";
    if (!parsePlainPositional(args, kwargs, format, {&window, &primitive, &start, &count, &instances}) &&
        !PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(instanced ? instancedKwlist : kwlist),
                                     &window, &primitive, &start, &count, &instances)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    WindowRecord* w = QuendalPyLookUp(gWindows, window, missing::kDrawWindow);
    if (!w) return nullptr;
    gpu::RenderCommandEncoder* encoder =
        openEncoder(*w, instanced ? "begin_frame() must be called first." : "begin_frame() must be called before draw().");
    if (!encoder || !checkCount(start, "vertex_start") || !checkCount(count, "vertex_count") ||
        !checkCount(start + count, "vertex_start + vertex_count") || !checkCount(instances, "instance_count") ||
        !hasPipeline(*encoder)) {
        return nullptr;
    }
    return drawResult(encoder->drawPrimitives(primitiveTypeFromName(primitive), static_cast<uint64_t>(start),
                                              static_cast<uint64_t>(count), static_cast<uint64_t>(instances)));
}

PyObject* drawElements(PyObject* args, PyObject* kwargs, bool instanced)
{
    static const char* kwlist[] = {"window", "primitive", "index_buffer", "index_count", "index_type", "offset",
                                   nullptr};
    static const char* instancedKwlist[] = {"window",     "primitive", "index_buffer",   "index_count",
                                            "index_type", "offset",    "instance_count", nullptr};
    long long window = 0;
    const char* primitive = nullptr;
    long long bufferHandle = 0;
    long long count = 0;
    const char* indexType = "uint16";
    long long offset = 0;
    long long instances = 1;
    const bool plain = parsePlainPositional(args, kwargs, "LsLL", {&window, &primitive, &bufferHandle, &count});
    if (!plain && !PyArg_ParseTupleAndKeywords(args, kwargs, instanced ? "LsLL|sLL" : "LsLL|sL",
                                               const_cast<char**>(instanced ? instancedKwlist : kwlist), &window,
                                               &primitive, &bufferHandle, &count, &indexType, &offset, &instances)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    BufferRecord* b = nullptr;
    gpu::RenderCommandEncoder* encoder = openEncoderAnd(
        window, gBuffers, bufferHandle, missing::kWindowOrIndexBuffer,
        instanced ? "begin_frame() must be called first." : "begin_frame() must be called before draw_indexed().", b);
    const gpu::IndexType type = indexTypeFromName(indexType);
    if (!encoder || !checkIndices(*b->buffer, type, count, offset) || !checkCount(instances, "instance_count") ||
        !hasPipeline(*encoder)) {
        return nullptr;
    }
    return drawResult(encoder->drawIndexedPrimitives(primitiveTypeFromName(primitive), static_cast<uint64_t>(count),
                                                     type, b->buffer, static_cast<uint64_t>(offset),
                                                     static_cast<uint64_t>(instances)));
}

}  // namespace

PyObject* metal_set_pipeline(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"window", "pipeline", nullptr};
    long long window = 0;
    long long pipeline = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LL", const_cast<char**>(kwlist), &window, &pipeline)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    PipelineRecord* p = nullptr;
    gpu::RenderCommandEncoder* encoder = openEncoderAnd(window, gPipelines, pipeline, missing::kWindowOrPipeline,
                                                        "begin_frame() must be called before set_pipeline().", p);
    if (!encoder) return nullptr;
    encoder->setRenderPipelineState(p->state);
    Py_RETURN_NONE;
}

PyObject* metal_set_vertex_buffer(PyObject*, PyObject* args, PyObject* kwargs)
{
    return setBuffer(args, kwargs, true);
}

PyObject* metal_set_fragment_buffer(PyObject*, PyObject* args, PyObject* kwargs)
{
    return setBuffer(args, kwargs, false);
}

PyObject* metal_set_fragment_texture(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"window", "texture", "index", nullptr};
    long long window = 0;
    long long texture = 0;
    long long index = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LLL", const_cast<char**>(kwlist), &window, &texture, &index)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    TextureRecord* t = nullptr;
    gpu::RenderCommandEncoder* encoder = openEncoderAnd(window, gTextures, texture, missing::kWindowOrTexture,
                                                        "begin_frame() must be called before set_fragment_texture().", t);
    if (!encoder || !checkIndex(index) || !QuendalPyCheckNotRenderingInto(*t->texture, window)) return nullptr;
    encoder->setFragmentTexture(t->texture, static_cast<uint32_t>(index));
    Py_RETURN_NONE;
}

PyObject* metal_draw(PyObject*, PyObject* args, PyObject* kwargs)
{
    return drawArrays(args, kwargs, false);
}

PyObject* metal_draw_indexed(PyObject*, PyObject* args, PyObject* kwargs)
{
    return drawElements(args, kwargs, false);
}

PyObject* metal_draw_instanced(PyObject*, PyObject* args, PyObject* kwargs)
{
    return drawArrays(args, kwargs, true);
}

PyObject* metal_draw_indexed_instanced(PyObject*, PyObject* args, PyObject* kwargs)
{
    return drawElements(args, kwargs, true);
}

PyObject* metal_draw_indirect(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"window", "primitive", "indirect_buffer", "offset", nullptr};
    long long window = 0;
    const char* primitive = nullptr;
    long long bufferHandle = 0;
    long long offset = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LsL|L", const_cast<char**>(kwlist), &window, &primitive,
                                     &bufferHandle, &offset)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    BufferRecord* b = nullptr;
    gpu::RenderCommandEncoder* encoder = openEncoderAnd(window, gBuffers, bufferHandle, missing::kWindowOrIndirectBuffer,
                                                        "begin_frame() must be called first.", b);
    if (!encoder || !checkIndirect(*b->buffer, offset, kDrawArgumentsBytes) || !hasPipeline(*encoder)) {
        return nullptr;
    }
    return drawResult(encoder->drawPrimitives(primitiveTypeFromName(primitive), b->buffer, static_cast<uint64_t>(offset)));
}

PyObject* metal_draw_indexed_indirect(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"window",          "primitive",       "index_buffer", "index_type",
                                   "indirect_buffer", "indirect_offset", nullptr};
    long long window = 0;
    const char* primitive = nullptr;
    long long indexHandle = 0;
    const char* indexType = nullptr;
    long long indirectHandle = 0;
    long long offset = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LsLsL|L", const_cast<char**>(kwlist), &window, &primitive,
                                     &indexHandle, &indexType, &indirectHandle, &offset)) {
        return nullptr;
    }
    std::lock_guard lock(gStateMutex);
    WindowRecord* w = QuendalPyLookUp(gWindows, window, missing::kAnyHandle);
    BufferRecord* index = w ? QuendalPyLookUp(gBuffers, indexHandle, missing::kAnyHandle) : nullptr;
    BufferRecord* indirect = index ? QuendalPyLookUp(gBuffers, indirectHandle, missing::kAnyHandle) : nullptr;
    if (!indirect) return nullptr;
    gpu::RenderCommandEncoder* encoder = openEncoder(*w, "begin_frame() must be called first.");
    if (!encoder || !checkIndirect(*indirect->buffer, offset, kIndexedDrawArgumentsBytes) || !hasPipeline(*encoder)) {
        return nullptr;
    }
    return drawResult(encoder->drawIndexedPrimitives(primitiveTypeFromName(primitive), indexTypeFromName(indexType),
                                                     index->buffer, 0, indirect->buffer, static_cast<uint64_t>(offset)));
}

}  // namespace quendal::metal
