// SPIR-V modules: validation, entry points, reflection of the resources an
// entry point uses (SPIRV-Cross), and the rewrite of descriptor decorations.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <vulkan/vulkan.h>

#include "platform/gpu/result.hpp"
#include "platform/gpu/shader_compiler.hpp"

namespace quendal::gpu {

struct SpirvEntryPoint {
    std::string name;
    ShaderStage stage;
};

// One descriptor an entry point uses, at the set and binding its source declares.
struct ShaderResource {
    uint32_t set = 0;
    uint32_t binding = 0;
    VkDescriptorType type = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    uint32_t count = 1;
    std::string name;
};

// A user-defined stage input or output (built-ins are not listed).
struct StageVariable {
    std::string name;
    uint32_t location = 0;
    uint32_t component = 0;
    int baseType = 0;  // SPIRV-Cross's basic type: float, int, uint, ...
    uint32_t vectorSize = 1;
    uint32_t columns = 1;
    std::vector<uint32_t> arraySizes;
    bool isFloat = true;
};

struct ShaderInterface {
    std::vector<ShaderResource> resources;
    std::vector<StageVariable> inputs;
    std::vector<StageVariable> outputs;
    uint32_t pushConstantSize = 0;
    // A vertex entry that writes gl_PointSize; Vulkan draws points only then.
    bool writesPointSize = false;
    // An entry that tells one draw from the next (gl_PrimitiveID, gl_BaseVertex,
    // gl_BaseInstance, gl_DrawID): its draws cannot be merged.
    bool readsDrawIdentity = false;
    // The workgroup size of a compute entry when its module fixes it (no
    // specialization constants for it); nullopt when it is chosen per dispatch.
    std::optional<std::array<uint32_t, 3>> fixedWorkgroupSize;
};

// Checks a module the way Vulkan 1.3 takes it; the validator's message on failure.
std::optional<std::string> validateSpirv(const std::vector<uint32_t>& words);

// Vertex, fragment and compute entry points of a module.
Result<std::vector<SpirvEntryPoint>> spirvEntryPoints(const std::vector<uint32_t>& words);

Result<ShaderInterface> reflectEntryPoint(const std::vector<uint32_t>& words, const std::string& name,
                                          ShaderStage stage);

// The capabilities a module declares (OpCapability operands).
std::vector<uint32_t> spirvCapabilities(const std::vector<uint32_t>& words);

// Rewrites every descriptor variable's (set, binding) decorations through remap.
using BindingRemap = std::function<std::pair<uint32_t, uint32_t>(uint32_t set, uint32_t binding)>;
std::vector<uint32_t> remapDescriptorBindings(std::vector<uint32_t> words, const BindingRemap& remap);

}  // namespace quendal::gpu
