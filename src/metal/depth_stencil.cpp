// Depth and stencil state of a window's open render frame, with the
// process-wide cache of state objects keyed by their packed settings.

#include "metal/errors.hpp"
#include "metal/functions.hpp"
#include "metal/names.hpp"
#include "metal/state.hpp"
#include "platform/gpu/depth_stencil_state.hpp"
#include "platform/gpu/render_command_encoder.hpp"

namespace quendal::metal {

namespace {

constexpr Named<gpu::CompareFunction> kCompareFunctions[] = {
    {"never", gpu::CompareFunction::Never},     {"less", gpu::CompareFunction::Less},
    {"equal", gpu::CompareFunction::Equal},     {"less_equal", gpu::CompareFunction::LessEqual},
    {"greater", gpu::CompareFunction::Greater}, {"not_equal", gpu::CompareFunction::NotEqual},
    {"greater_equal", gpu::CompareFunction::GreaterEqual}, {"always", gpu::CompareFunction::Always},
};

constexpr Named<gpu::StencilOperation> kStencilOperations[] = {
    {"keep", gpu::StencilOperation::Keep},
    {"zero", gpu::StencilOperation::Zero},
    {"replace", gpu::StencilOperation::Replace},
    {"incr", gpu::StencilOperation::IncrementClamp},
    {"decr", gpu::StencilOperation::DecrementClamp},
    {"invert", gpu::StencilOperation::Invert},
    {"incr_wrap", gpu::StencilOperation::IncrementWrap},
    {"decr_wrap", gpu::StencilOperation::DecrementWrap},
};

}  // namespace

gpu::CompareFunction compareFuncFromName(const char* name)
{
    return valueNamed(kCompareFunctions, name, gpu::CompareFunction::Less);
}

gpu::StencilOperation stencilOpFromName(const char* name)
{
    return valueNamed(kStencilOperations, name, gpu::StencilOperation::Keep);
}

// The settings packed by their Metal values, which fit in four bits each.
uint64_t depthStencilKey(gpu::CompareFunction depthCompare, bool writeEnabled, gpu::CompareFunction stencilCompare,
                         gpu::StencilOperation pass, gpu::StencilOperation fail, gpu::StencilOperation backPass)
{
    const auto bits = [](auto value) { return uint64_t{static_cast<uint32_t>(value)}; };
    return (bits(depthCompare) << 32) | (bits(backPass) << 24) | (bits(stencilCompare) << 16) | (bits(pass) << 8) |
           (bits(fail) << 4) | (writeEnabled ? 1u : 0u);
}

PyObject* metal_set_depth_stencil(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"window",       "compare",      "write_enabled", "stencil_compare", "stencil_pass",
                                   "stencil_fail", "stencil_ref",  "stencil_back_pass", nullptr};
    long long window = 0;
    const char* compare = "always";
    int writeEnabled = 0;
    const char* stencilCompare = "always";
    const char* stencilPass = "keep";
    const char* stencilFail = "keep";
    int stencilRef = 0;
    const char* stencilBackPass = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "L|spsssiz", const_cast<char**>(kwlist), &window, &compare,
                                     &writeEnabled, &stencilCompare, &stencilPass, &stencilFail, &stencilRef,
                                     &stencilBackPass)) {
        return nullptr;
    }

    std::lock_guard lock(gStateMutex);
    WindowRecord* record = QuendalPyFind(gWindows, window);
    if (!record || !record->passes.render.active || !record->passes.render.encoder) {
        PyErr_SetString(PyExc_RuntimeError, "begin_frame() must be called before set_depth_stencil().");
        return nullptr;
    }
    const gpu::CompareFunction depthCompare = compareFuncFromName(compare);
    const gpu::CompareFunction stencilCompareValue = compareFuncFromName(stencilCompare);
    const gpu::StencilOperation pass = stencilOpFromName(stencilPass);
    const gpu::StencilOperation fail = stencilOpFromName(stencilFail);
    const gpu::StencilOperation backPass = stencilBackPass ? stencilOpFromName(stencilBackPass) : pass;
    const uint64_t key = depthStencilKey(depthCompare, writeEnabled != 0, stencilCompareValue, pass, fail, backPass);

    auto cached = gDepthStencilCache.find(key);
    if (cached == gDepthStencilCache.end()) {
        gpu::DepthStencilDescriptor descriptor;
        descriptor.depthCompare = depthCompare;
        descriptor.depthWriteEnabled = writeEnabled != 0;
        descriptor.front.compare = stencilCompareValue;
        descriptor.front.failOp = fail;
        descriptor.front.depthFailOp = gpu::StencilOperation::Keep;
        descriptor.front.passOp = pass;
        descriptor.front.readMask = 0xFF;
        descriptor.front.writeMask = 0xFF;
        descriptor.back = descriptor.front;
        descriptor.back.passOp = backPass;
        cached = gDepthStencilCache.emplace(key, std::make_shared<gpu::DepthStencilState>(descriptor)).first;
    }
    gpu::RenderCommandEncoder& encoder = *record->passes.render.encoder;
    encoder.setDepthStencilState(cached->second);
    encoder.setStencilReferenceValue(static_cast<uint32_t>(stencilRef));
    Py_RETURN_NONE;
}

}  // namespace quendal::metal
