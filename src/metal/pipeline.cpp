// Render and compute pipelines made from the functions of a shader library.
#include <cstring>
#include <string>

#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/pixel_format.hpp"
#include "metal/state.hpp"
#include "platform/gpu/compute_pipeline.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/library.hpp"
#include "platform/gpu/render_pipeline.hpp"

namespace quendal::metal {

namespace {

bool same(const char* name, const char* expected)
{
    return name && std::strcmp(name, expected) == 0;
}

// The fixed-function half of a render pipeline: formats, samples, blending and
// writes, from create_render_pipeline's arguments.
struct RenderPipelineOptions {
    bool blending = true;
    bool premultiplied = false;
    const char* format = "bgra8";
    const char* depthFormat = nullptr;
    unsigned int sampleCount = 1;
    const char* stencilFormat = nullptr;
    bool colorWrite = true;
};

void describeAttachments(const RenderPipelineOptions& options, gpu::RenderPipelineDescriptor& descriptor)
{
    descriptor.colorPixelFormat = pixelFormatFromName(options.format);
    descriptor.rasterSampleCount = options.sampleCount > 1 ? options.sampleCount : 1;
    descriptor.blendingEnabled = options.blending;
    descriptor.rgbBlendOperation = gpu::BlendOperation::Add;
    descriptor.alphaBlendOperation = gpu::BlendOperation::Add;
    const gpu::BlendFactor source = options.premultiplied ? gpu::BlendFactor::One : gpu::BlendFactor::SourceAlpha;
    descriptor.sourceRGBBlendFactor = source;
    descriptor.sourceAlphaBlendFactor = source;
    descriptor.destinationRGBBlendFactor = gpu::BlendFactor::OneMinusSourceAlpha;
    descriptor.destinationAlphaBlendFactor = gpu::BlendFactor::OneMinusSourceAlpha;
    if (!options.colorWrite) descriptor.writeMask = gpu::ColorWriteMaskNone;
    if (same(options.depthFormat, "depth32f")) {
        descriptor.depthAttachmentPixelFormat = gpu::PixelFormat::Depth32Float;
    } else if (same(options.depthFormat, "depth32f_stencil8")) {
        descriptor.depthAttachmentPixelFormat = gpu::PixelFormat::Depth32FloatStencil8;
        descriptor.stencilAttachmentPixelFormat = gpu::PixelFormat::Depth32FloatStencil8;
    }
    if (same(options.stencilFormat, "stencil8")) {
        descriptor.stencilAttachmentPixelFormat = gpu::PixelFormat::Stencil8;
    }
}

}  // namespace

PyObject* metal_create_render_pipeline(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"library",      "vertex",       "fragment",       "blending",    "premultiplied",
                                   "format",       "depth_format", "sample_count",   "stencil_format", "color_write",
                                   nullptr};
    long long libraryHandle = 0;
    const char* vertexName = nullptr;
    const char* fragmentName = nullptr;
    int blending = 1;
    int premultiplied = 0;
    int colorWrite = 1;
    RenderPipelineOptions options;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Lss|ppszIzp", const_cast<char**>(kwlist), &libraryHandle,
                                     &vertexName, &fragmentName, &blending, &premultiplied, &options.format,
                                     &options.depthFormat, &options.sampleCount, &options.stencilFormat,
                                     &colorWrite)) {
        return nullptr;
    }
    options.blending = blending != 0;
    options.premultiplied = premultiplied != 0;
    options.colorWrite = colorWrite != 0;
    if (!QuendalPyEnsureDevice("Metal device is unavailable on this device.")) return nullptr;

    // Held through compilation, as every creator of the registry does.
    std::lock_guard lock(gStateMutex);
    LibraryRecord* record = QuendalPyLookUp(gLibraries, libraryHandle, missing::kRenderLibrary);
    if (!record) return nullptr;
    gpu::Library& library = *record->library;
    auto vertex = library.newFunction(vertexName, gpu::ShaderStage::Vertex);
    auto fragment = library.newFunction(fragmentName, gpu::ShaderStage::Fragment);
    // Names are checked here so that no unknown entry point reaches the driver.
    if ((vertex && !vertex.value()) || (fragment && !fragment.value())) {
        PyErr_SetString(PyExc_RuntimeError, "Metal entry point not found in library.");
        return nullptr;
    }
    for (auto* function : {&vertex, &fragment}) {
        if (!*function) return QuendalPySetGpuError(function->error());
    }

    gpu::RenderPipelineDescriptor descriptor;
    descriptor.vertexFunction = vertex.value();
    descriptor.fragmentFunction = fragment.value();
    describeAttachments(options, descriptor);

    // A count the device cannot rasterise with is a bad argument, refused
    // before the driver sees it.
    if (!QuendalPyCheckSampleCount(descriptor.rasterSampleCount)) return nullptr;

    auto state = gpu::RenderPipelineState::create(device(), descriptor);
    if (!state) return QuendalPySetGpuError(state.error());
    return QuendalPyRegister(gPipelines, std::move(state.value()));
}

PyObject* metal_destroy_render_pipeline(PyObject*, PyObject* args)
{
    return QuendalPyDestroy(gPipelines, args);
}

PyObject* metal_create_compute_pipeline(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"library", "function", nullptr};
    long long libraryHandle = 0;
    const char* functionName = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Ls", const_cast<char**>(kwlist), &libraryHandle, &functionName)) {
        return nullptr;
    }
    if (!QuendalPyEnsureDevice("Metal unavailable.")) return nullptr;

    std::lock_guard lock(gStateMutex);
    LibraryRecord* library = QuendalPyLookUp(gLibraries, libraryHandle, missing::kComputeLibrary);
    if (!library) return nullptr;
    auto function = library->library->newFunction(functionName, gpu::ShaderStage::Compute);
    if (function && !function.value()) {
        PyErr_SetString(PyExc_RuntimeError, "Compute function not found in library.");
        return nullptr;
    }
    if (!function) return QuendalPySetGpuError(function.error());
    auto state = gpu::ComputePipelineState::create(device(), function.value());
    if (!state) return QuendalPySetGpuError(state.error());
    return QuendalPyRegister(gComputePipelines, std::move(state.value()));
}

PyObject* metal_destroy_compute_pipeline(PyObject*, PyObject* args)
{
    return QuendalPyDestroy(gComputePipelines, args);
}

}  // namespace quendal::metal
