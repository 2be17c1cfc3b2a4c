// The binding model: how the contract's buffer and texture indexes reach the
// descriptors of a shader.
//
// Shaders declare vertex buffers in set 0, fragment buffers in set 1 and
// fragment textures in set 2 (compute: buffers set 0, textures set 1), with the
// contract's index as the binding. Vulkan allows one push-descriptor set per
// pipeline layout, so every declared (set, binding) is moved into push set 0 at
// binding set * kBindingsPerSet + binding when the shader module is made; the
// encoders push all bindings of a draw or dispatch into that one set.
// Samplers are the device's immutable default sampler (linear, clamp to edge),
// so a texture binding needs only its image view.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <vulkan/vulkan.h>

#include "platform/gpu/result.hpp"
#include "platform/gpu/spirv.hpp"

namespace quendal::gpu {

class Device;

enum class BindingSpace { VertexBuffer, FragmentBuffer, FragmentTexture, ComputeBuffer, ComputeTexture };

inline constexpr uint32_t kBindingsPerSet = 256;
inline constexpr uint32_t kPushSet = 0;

struct ResourceBinding {
    BindingSpace space;
    uint32_t index = 0;        // the contract's index: the binding the shader declares
    uint32_t set = 0;          // the set the shader declares
    uint32_t pushBinding = 0;  // the binding in push set kPushSet
    VkDescriptorType type = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    uint32_t count = 1;
    VkShaderStageFlags stages = 0;
};

struct StageInterface {
    VkShaderStageFlagBits stage;
    const ShaderInterface* interface;
};

class PipelineLayout {
public:
    // Error reason: why the shaders' resources do not fit the binding model.
    static Result<std::shared_ptr<PipelineLayout>> create(std::shared_ptr<Device> device, bool compute,
                                                          const std::vector<StageInterface>& stages);
    ~PipelineLayout();
    PipelineLayout(const PipelineLayout&) = delete;
    PipelineLayout& operator=(const PipelineLayout&) = delete;

    VkPipelineLayout vk() const { return layout_; }
    VkDescriptorSetLayout pushSetLayout() const { return setLayout_; }
    const std::vector<ResourceBinding>& bindings() const { return bindings_; }
    // The binding of a contract index, or null when the shaders do not use it.
    const ResourceBinding* find(BindingSpace space, uint32_t index) const;
    // Per declared set: binding -> descriptor type.
    std::map<uint32_t, VkDescriptorType> setTypes(uint32_t set) const;

    static uint32_t pushBinding(uint32_t set, uint32_t binding) { return set * kBindingsPerSet + binding; }
    // The shader's module with its descriptors moved into the push set.
    static std::vector<uint32_t> remap(const std::vector<uint32_t>& spirv);

private:
    explicit PipelineLayout(std::shared_ptr<Device> device) : device_(std::move(device)) {}

    std::shared_ptr<Device> device_;
    VkDescriptorSetLayout setLayout_ = VK_NULL_HANDLE;
    VkPipelineLayout layout_ = VK_NULL_HANDLE;
    std::vector<ResourceBinding> bindings_;
};

// A shader module that lives as long as its owner.
class ShaderModule {
public:
    static Result<std::shared_ptr<ShaderModule>> create(std::shared_ptr<Device> device, const std::vector<uint32_t>& spirv);
    ~ShaderModule();
    ShaderModule(const ShaderModule&) = delete;
    ShaderModule& operator=(const ShaderModule&) = delete;
    VkShaderModule vk() const { return module_; }

private:
    explicit ShaderModule(std::shared_ptr<Device> device) : device_(std::move(device)) {}
    std::shared_ptr<Device> device_;
    VkShaderModule module_ = VK_NULL_HANDLE;
};

}  // namespace quendal::gpu
