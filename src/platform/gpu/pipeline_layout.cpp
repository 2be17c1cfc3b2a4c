#include "platform/gpu/pipeline_layout.hpp"

#include <algorithm>
#include <optional>

#include "platform/gpu/device.hpp"

namespace quendal::gpu {

namespace {

bool isBuffer(VkDescriptorType type)
{
    return type == VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER || type == VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
}

bool isTexture(VkDescriptorType type)
{
    return type == VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER || type == VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE ||
           type == VK_DESCRIPTOR_TYPE_STORAGE_IMAGE || type == VK_DESCRIPTOR_TYPE_SAMPLER;
}

bool usesSampler(VkDescriptorType type)
{
    return type == VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER || type == VK_DESCRIPTOR_TYPE_SAMPLER;
}

struct SetRole {
    BindingSpace space;
    bool buffers;
    const char* what;
};

const SetRole* roleOf(bool compute, uint32_t set)
{
    static constexpr SetRole render[] = {
        {BindingSpace::VertexBuffer, true, "vertex buffers"},
        {BindingSpace::FragmentBuffer, true, "fragment buffers"},
        {BindingSpace::FragmentTexture, false, "fragment textures"},
    };
    static constexpr SetRole kernel[] = {
        {BindingSpace::ComputeBuffer, true, "compute buffers"},
        {BindingSpace::ComputeTexture, false, "compute textures"},
    };
    if (compute) return set < 2 ? &kernel[set] : nullptr;
    return set < 3 ? &render[set] : nullptr;
}

std::string where(const ShaderResource& r)
{
    std::string text = "Shader resource";
    if (!r.name.empty()) text += " '" + r.name + "'";
    return text + " (set " + std::to_string(r.set) + ", binding " + std::to_string(r.binding) + ")";
}

// Capabilities that need a device feature, and the feature. A module that
// declares one the device has not enabled is refused: drivers trust modules.
std::optional<std::string> missingFeature(const Device& device, const std::vector<uint32_t>& spirv)
{
    const VkPhysicalDeviceFeatures& f = device.enabledFeatures();
    const struct {
        uint32_t capability;
        VkBool32 enabled;
        const char* feature;
    } table[] = {
        {2, f.geometryShader, "geometryShader"},
        {3, f.tessellationShader, "tessellationShader"},
        {10, f.shaderFloat64, "shaderFloat64"},
        {11, f.shaderInt64, "shaderInt64"},
        {22, f.shaderInt16, "shaderInt16"},
        {25, f.shaderImageGatherExtended, "shaderImageGatherExtended"},
        {27, f.shaderStorageImageMultisample, "shaderStorageImageMultisample"},
        {32, f.shaderClipDistance, "shaderClipDistance"},
        {33, f.shaderCullDistance, "shaderCullDistance"},
        {34, f.imageCubeArray, "imageCubeArray"},
        {35, f.sampleRateShading, "sampleRateShading"},
        {41, f.shaderResourceResidency, "shaderResourceResidency"},
        {42, f.shaderResourceMinLod, "shaderResourceMinLod"},
        {49, f.shaderStorageImageExtendedFormats, "shaderStorageImageExtendedFormats"},
        {52, f.sampleRateShading, "sampleRateShading"},
        {55, f.shaderStorageImageReadWithoutFormat, "shaderStorageImageReadWithoutFormat"},
        {56, f.shaderStorageImageWriteWithoutFormat, "shaderStorageImageWriteWithoutFormat"},
        {57, f.multiViewport, "multiViewport"},
    };
    for (uint32_t capability : spirvCapabilities(spirv)) {
        for (const auto& entry : table) {
            if (entry.capability == capability && !entry.enabled) return std::string(entry.feature);
        }
    }
    return std::nullopt;
}

}  // namespace

Result<std::shared_ptr<PipelineLayout>> PipelineLayout::create(std::shared_ptr<Device> device, bool compute,
                                                               const std::vector<StageInterface>& stages)
{
    std::shared_ptr<PipelineLayout> layout(new PipelineLayout(device));
    const char* model = compute ? "compute buffers are set 0, compute textures set 1"
                                : "vertex buffers are set 0, fragment buffers set 1, fragment textures set 2";
    uint32_t pushConstantSize = 0;
    VkShaderStageFlags pushConstantStages = 0;
    bool needsSampler = false;
    for (const StageInterface& stage : stages) {
        for (const ShaderResource& r : stage.interface->resources) {
            const SetRole* role = roleOf(compute, r.set);
            if (!role) return Error{VK_ERROR_INITIALIZATION_FAILED, where(r) + " is outside the binding model: " + model + "."};
            if (r.binding >= kBindingsPerSet) {
                return Error{VK_ERROR_INITIALIZATION_FAILED,
                             where(r) + " has a binding above " + std::to_string(kBindingsPerSet - 1) + "."};
            }
            if (role->buffers ? !isBuffer(r.type) : !isTexture(r.type)) {
                return Error{VK_ERROR_INITIALIZATION_FAILED,
                             where(r) + " is not of the kind its set holds: " + model + "."};
            }
            if (r.count == 0) {
                return Error{VK_ERROR_INITIALIZATION_FAILED, where(r) + " is a runtime-sized array of descriptors."};
            }
            auto same = std::find_if(layout->bindings_.begin(), layout->bindings_.end(), [&](const ResourceBinding& b) {
                return b.set == r.set && b.index == r.binding;
            });
            if (same != layout->bindings_.end()) {
                if (same->type != r.type || same->count != r.count) {
                    return Error{VK_ERROR_INITIALIZATION_FAILED,
                                 where(r) + " is declared with different types in the pipeline's stages."};
                }
                same->stages |= stage.stage;
                continue;
            }
            needsSampler = needsSampler || usesSampler(r.type);
            layout->bindings_.push_back(
                {role->space, r.binding, r.set, pushBinding(r.set, r.binding), r.type, r.count,
                 static_cast<VkShaderStageFlags>(stage.stage)});
        }
        if (stage.interface->pushConstantSize) {
            pushConstantSize = std::max(pushConstantSize, stage.interface->pushConstantSize);
            pushConstantStages |= stage.stage;
        }
    }

    VkPhysicalDevicePushDescriptorPropertiesKHR pushProps{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PUSH_DESCRIPTOR_PROPERTIES_KHR};
    VkPhysicalDeviceProperties2 props{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2, &pushProps};
    vkGetPhysicalDeviceProperties2(device->physicalDevice(), &props);
    uint32_t descriptors = 0;
    for (const auto& b : layout->bindings_) descriptors += b.count;
    if (descriptors > pushProps.maxPushDescriptors) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "The pipeline's shaders use " + std::to_string(descriptors) +
                                                         " descriptors; this device binds at most " +
                                                         std::to_string(pushProps.maxPushDescriptors) + "."};
    }
    if (pushConstantSize > device->properties().limits.maxPushConstantsSize) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "The pipeline's push constants exceed the device's limit."};
    }

    VkDevice vk = device->vk();
    // Immutable samplers are the device's default one, shared by every layout.
    const VkSampler sampler = needsSampler ? device->defaultSampler() : VK_NULL_HANDLE;
    if (needsSampler && !sampler) return Error{VK_ERROR_INITIALIZATION_FAILED, "vkCreateSampler failed"};
    std::vector<VkSampler> samplers;
    for (const auto& b : layout->bindings_) samplers.resize(std::max<size_t>(samplers.size(), b.count), sampler);
    std::vector<VkDescriptorSetLayoutBinding> entries;
    for (const auto& b : layout->bindings_) {
        VkDescriptorSetLayoutBinding entry{};
        entry.binding = b.pushBinding;
        entry.descriptorType = b.type;
        entry.descriptorCount = b.count;
        entry.stageFlags = b.stages;
        if (usesSampler(b.type)) entry.pImmutableSamplers = samplers.data();
        entries.push_back(entry);
    }
    VkDescriptorSetLayoutCreateInfo setInfo{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
    setInfo.flags = VK_DESCRIPTOR_SET_LAYOUT_CREATE_PUSH_DESCRIPTOR_BIT_KHR;
    setInfo.bindingCount = static_cast<uint32_t>(entries.size());
    setInfo.pBindings = entries.data();
    if (VkResult r = vkCreateDescriptorSetLayout(vk, &setInfo, nullptr, &layout->setLayout_); r != VK_SUCCESS) {
        return vkError(r, "vkCreateDescriptorSetLayout");
    }
    VkPushConstantRange range{pushConstantStages, 0, pushConstantSize};
    VkPipelineLayoutCreateInfo info{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    info.setLayoutCount = 1;
    info.pSetLayouts = &layout->setLayout_;
    info.pushConstantRangeCount = pushConstantSize ? 1 : 0;
    info.pPushConstantRanges = &range;
    if (VkResult r = vkCreatePipelineLayout(vk, &info, nullptr, &layout->layout_); r != VK_SUCCESS) {
        return vkError(r, "vkCreatePipelineLayout");
    }
    return layout;
}

PipelineLayout::~PipelineLayout()
{
    VkDevice vk = device_->vk();
    if (layout_) vkDestroyPipelineLayout(vk, layout_, nullptr);
    if (setLayout_) vkDestroyDescriptorSetLayout(vk, setLayout_, nullptr);
}

const ResourceBinding* PipelineLayout::find(BindingSpace space, uint32_t index) const
{
    for (const auto& b : bindings_) {
        if (b.space == space && b.index == index) return &b;
    }
    return nullptr;
}

std::map<uint32_t, VkDescriptorType> PipelineLayout::setTypes(uint32_t set) const
{
    std::map<uint32_t, VkDescriptorType> out;
    for (const auto& b : bindings_) {
        if (b.set == set) out[b.index] = b.type;
    }
    return out;
}

std::vector<uint32_t> PipelineLayout::remap(const std::vector<uint32_t>& spirv)
{
    return remapDescriptorBindings(spirv, [](uint32_t set, uint32_t binding) {
        return std::make_pair(kPushSet, pushBinding(set, binding));
    });
}

Result<std::shared_ptr<ShaderModule>> ShaderModule::create(std::shared_ptr<Device> device,
                                                           const std::vector<uint32_t>& spirv)
{
    if (auto feature = missingFeature(*device, spirv)) {
        return Error{VK_ERROR_FEATURE_NOT_PRESENT,
                     "The shader needs the device feature " + *feature + ", which is not enabled on this device."};
    }
    std::shared_ptr<ShaderModule> module(new ShaderModule(device));
    VkShaderModuleCreateInfo info{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
    info.codeSize = spirv.size() * sizeof(uint32_t);
    info.pCode = spirv.data();
    if (VkResult r = vkCreateShaderModule(device->vk(), &info, nullptr, &module->module_); r != VK_SUCCESS) {
        return vkError(r, "vkCreateShaderModule");
    }
    return module;
}

ShaderModule::~ShaderModule()
{
    if (module_) vkDestroyShaderModule(device_->vk(), module_, nullptr);
}

}  // namespace quendal::gpu
