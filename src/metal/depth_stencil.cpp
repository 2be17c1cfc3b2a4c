// Depth and stencil state of a window's open render frame, with the
// process-wide cache of state objects keyed by their packed settings.
#include <cstring>

#include "metal/functions.hpp"
#include "metal/state.hpp"
#include "platform/gpu/depth_stencil_state.hpp"
#include "platform/gpu/render_command_encoder.hpp"

namespace quendal::metal {

namespace {

struct NamedValue {
    const char* name;
    uint32_t value;
};

// Metal's compare function values; VkCompareOp numbers them the same way.
constexpr NamedValue kCompareFunctions[] = {
    {"never", 0}, {"less", 1},    {"equal", 2},     {"less_equal", 3},
    {"greater", 4}, {"not_equal", 5}, {"greater_equal", 6}, {"always", 7},
};

// Metal's stencil operation values, in VkStencilOp's order too.
constexpr NamedValue kStencilOperations[] = {
    {"keep", 0}, {"zero", 1}, {"replace", 2}, {"incr", 3},
    {"decr", 4}, {"invert", 5}, {"incr_wrap", 6}, {"decr_wrap", 7},
};

template <size_t N>
uint32_t lookUp(const NamedValue (&table)[N], const char* name, uint32_t fallback)
{
    if (!name) return fallback;
    for (const NamedValue& entry : table) {
        if (std::strcmp(entry.name, name) == 0) return entry.value;
    }
    return fallback;
}

}  // namespace

uint32_t compareFuncFromName(const char* name)
{
    return lookUp(kCompareFunctions, name, 1);
}

uint32_t stencilOpFromName(const char* name)
{
    return lookUp(kStencilOperations, name, 0);
}

uint64_t depthStencilKey(uint32_t depthCompare, bool writeEnabled, uint32_t stencilCompare, uint32_t pass,
                         uint32_t fail, uint32_t backPass)
{
    return (uint64_t{depthCompare} << 32) | (uint64_t{backPass} << 24) | (uint64_t{stencilCompare} << 16) |
           (uint64_t{pass} << 8) | (uint64_t{fail} << 4) | (writeEnabled ? 1u : 0u);
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
    auto it = gWindows.find(window);
    if (it == gWindows.end() || !it->second.frameActive || !it->second.renderEncoder) {
        PyErr_SetString(PyExc_RuntimeError, "begin_frame() must be called before set_depth_stencil().");
        return nullptr;
    }
    const uint32_t depthCompare = compareFuncFromName(compare);
    const uint32_t stencilCompareValue = compareFuncFromName(stencilCompare);
    const uint32_t pass = stencilOpFromName(stencilPass);
    const uint32_t fail = stencilOpFromName(stencilFail);
    const uint32_t backPass = stencilBackPass ? stencilOpFromName(stencilBackPass) : pass;
    const uint64_t key = depthStencilKey(depthCompare, writeEnabled != 0, stencilCompareValue, pass, fail, backPass);

    auto cached = gDepthStencilCache.find(key);
    if (cached == gDepthStencilCache.end()) {
        gpu::DepthStencilDescriptor descriptor;
        descriptor.depthCompare = static_cast<VkCompareOp>(depthCompare);
        descriptor.depthWriteEnabled = writeEnabled != 0;
        descriptor.front.compare = static_cast<VkCompareOp>(stencilCompareValue);
        descriptor.front.failOp = static_cast<VkStencilOp>(fail);
        descriptor.front.depthFailOp = VK_STENCIL_OP_KEEP;
        descriptor.front.passOp = static_cast<VkStencilOp>(pass);
        descriptor.front.readMask = 0xFF;
        descriptor.front.writeMask = 0xFF;
        descriptor.back = descriptor.front;
        descriptor.back.passOp = static_cast<VkStencilOp>(backPass);
        cached = gDepthStencilCache.emplace(key, std::make_shared<gpu::DepthStencilState>(descriptor)).first;
    }
    gpu::RenderCommandEncoder& encoder = *it->second.renderEncoder;
    encoder.setDepthStencilState(cached->second);
    encoder.setStencilReferenceValue(static_cast<uint32_t>(stencilRef));
    Py_RETURN_NONE;
}

}  // namespace quendal::metal
