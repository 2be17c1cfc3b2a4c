// Shader libraries: GLSL source, source files, precompiled SPIR-V libraries and
// the bundle's default library become library handles.
#include <cstring>
#include <string>

#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/state.hpp"
#include "platform/gpu/library.hpp"
#include "runtime/bundle.hpp"

namespace quendal::metal {

namespace {

bool endsWith(const std::string& text, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

}  // namespace

PyObject* metal_create_library(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"source", "path", nullptr};
    const char* source = nullptr;
    const char* path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|ss", const_cast<char**>(kwlist), &source, &path)) return nullptr;
    if (!source && !path) {
        PyErr_SetString(PyExc_ValueError, "Either source or path must be provided");
        return nullptr;
    }
    if (!QuendalPyEnsureDevice("Metal device is unavailable on this device.")) return nullptr;

    std::shared_ptr<gpu::Library> library;
    if (path) {
        const std::string file(path);
        if (endsWith(file, ".metallib") || endsWith(file, ".spv")) {
            auto loaded = gpu::Library::newWithFile(file);
            if (!loaded) return QuendalPySetGpuError(loaded.error(), "Cannot load metallib: ");
            library = std::move(loaded.value());
        } else {
            auto text = gpu::readTextFile(file);
            if (!text) return QuendalPySetGpuError(text.error(), "Cannot read shader file: ", "", PyExc_FileNotFoundError);
            auto compiled = gpu::Library::newWithSource(std::move(text.value()));
            if (!compiled) return QuendalPySetGpuError(compiled.error());
            library = std::move(compiled.value());
        }
    } else if (std::strcmp(source, "__default__") == 0) {
        const std::string bundle = bundlePath();
        auto loaded = bundle.empty() ? gpu::Result<std::shared_ptr<gpu::Library>>(gpu::Error{})
                                     : gpu::Library::newWithFile(bundle + "/default.spv");
        if (!loaded) {
            PyErr_SetString(PyExc_RuntimeError, "No default Metal library found in app bundle.");
            return nullptr;
        }
        library = std::move(loaded.value());
    } else {
        auto compiled = gpu::Library::newWithSource(source);
        if (!compiled) return QuendalPySetGpuError(compiled.error());
        library = std::move(compiled.value());
    }

    std::lock_guard lock(gStateMutex);
    return QuendalPyRegister(gLibraries, std::move(library));
}

PyObject* metal_destroy_library(PyObject*, PyObject* args)
{
    return QuendalPyDestroy(gLibraries, args);
}

}  // namespace quendal::metal
