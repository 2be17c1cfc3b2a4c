#include "platform/gpu/compute_pipeline.hpp"

#include "platform/gpu/device.hpp"

namespace quendal::gpu {

Result<std::shared_ptr<ComputePipelineState>> ComputePipelineState::create(std::shared_ptr<Device> device,
                                                                           const std::shared_ptr<Function>& function)
{
    if (!function || function->stage() != ShaderStage::Compute) {
        return Error{ErrorKind::InitializationFailed, "A compute pipeline needs a compute function."};
    }
    std::shared_ptr<ComputePipelineState> state(new ComputePipelineState(device));
    auto layout = PipelineLayout::create(device, true, {{VK_SHADER_STAGE_COMPUTE_BIT, &function->interface()}});
    if (!layout) return layout.error();
    state->layout_ = std::move(layout.value());
    auto module = ShaderModule::create(device, PipelineLayout::remap(function->spirv()));
    if (!module) return module.error();
    state->module_ = std::move(module.value());
    state->name_ = function->name();
    state->fixedSize_ = function->interface().fixedWorkgroupSize;
    auto first = state->pipelineFor(1, 1, 1);
    if (!first) return first.error();
    return state;
}

ComputePipelineState::~ComputePipelineState()
{
    for (const auto& [size, pipeline] : pipelines_) vkDestroyPipeline(device_->vk(), pipeline, nullptr);
}

uint32_t ComputePipelineState::maxTotalThreadsPerThreadgroup() const
{
    return device_->properties().limits.maxComputeWorkGroupInvocations;
}

size_t ComputePipelineState::specializationCount()
{
    std::lock_guard lock(mutex_);
    return pipelines_.size();
}

Result<VkPipeline> ComputePipelineState::pipelineFor(uint32_t x, uint32_t y, uint32_t z)
{
    std::array<uint32_t, 3> size = fixedSize_ ? *fixedSize_ : std::array<uint32_t, 3>{x, y, z};
    const auto& limits = device_->properties().limits;
    if (size[0] == 0 || size[1] == 0 || size[2] == 0 || size[0] > limits.maxComputeWorkGroupSize[0] ||
        size[1] > limits.maxComputeWorkGroupSize[1] || size[2] > limits.maxComputeWorkGroupSize[2] ||
        uint64_t{size[0]} * size[1] * size[2] > limits.maxComputeWorkGroupInvocations) {
        return Error{ErrorKind::InitializationFailed,
                     "Threadgroup size " + std::to_string(x) + "x" + std::to_string(y) + "x" + std::to_string(z) +
                         " exceeds the device's limits."};
    }
    std::lock_guard lock(mutex_);
    if (auto it = pipelines_.find(size); it != pipelines_.end()) return it->second;
    auto built = build(size[0], size[1], size[2]);
    if (!built) return built.error();
    pipelines_.emplace(size, built.value());
    return built.value();
}

Result<VkPipeline> ComputePipelineState::build(uint32_t x, uint32_t y, uint32_t z)
{
    const uint32_t values[3] = {x, y, z};
    const VkSpecializationMapEntry entries[3] = {
        {0, 0, sizeof(uint32_t)}, {1, sizeof(uint32_t), sizeof(uint32_t)}, {2, 2 * sizeof(uint32_t), sizeof(uint32_t)}};
    VkSpecializationInfo specialization{3, entries, sizeof(values), values};
    VkComputePipelineCreateInfo info{VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO};
    info.stage = {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO, nullptr, 0, VK_SHADER_STAGE_COMPUTE_BIT,
                  module_->vk(), name_.c_str(), fixedSize_ ? nullptr : &specialization};
    info.layout = layout_->vk();
    VkPipeline pipeline = VK_NULL_HANDLE;
    if (VkResult r = vkCreateComputePipelines(device_->vk(), VK_NULL_HANDLE, 1, &info, nullptr, &pipeline);
        r != VK_SUCCESS) {
        return vkError(r, "vkCreateComputePipelines");
    }
    return pipeline;
}

}  // namespace quendal::gpu
