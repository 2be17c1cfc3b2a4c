// Compute pipeline states. The threadgroup size is chosen per dispatch, so the
// state keeps the kernel's module and layout and specialises one Vulkan
// pipeline per size on first use (specialization constants 0, 1, 2).
// Thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <vulkan/vulkan.h>

#include "platform/gpu/library.hpp"
#include "platform/gpu/pipeline_layout.hpp"
#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class Device;

class ComputePipelineState {
public:
    // Builds the pipeline for a threadgroup of one thread at once, so that a
    // kernel that cannot be made fails here.
    static Result<std::shared_ptr<ComputePipelineState>> create(std::shared_ptr<Device> device,
                                                                const std::shared_ptr<Function>& function);
    ~ComputePipelineState();
    ComputePipelineState(const ComputePipelineState&) = delete;
    ComputePipelineState& operator=(const ComputePipelineState&) = delete;

    // The pipeline for a threadgroup size; sizes beyond the device's limits are
    // refused with a reason instead of reaching the driver.
    Result<VkPipeline> pipelineFor(uint32_t x, uint32_t y, uint32_t z);
    const PipelineLayout& layout() const { return *layout_; }
    uint32_t maxTotalThreadsPerThreadgroup() const;
    // Set when the kernel's module fixes its size; pipelineFor() then ignores
    // the size asked for.
    const std::optional<std::array<uint32_t, 3>>& fixedThreadgroupSize() const { return fixedSize_; }
    size_t specializationCount();

private:
    explicit ComputePipelineState(std::shared_ptr<Device> device) : device_(std::move(device)) {}
    Result<VkPipeline> build(uint32_t x, uint32_t y, uint32_t z);

    std::shared_ptr<Device> device_;
    std::shared_ptr<PipelineLayout> layout_;
    std::shared_ptr<ShaderModule> module_;
    std::string name_;
    std::optional<std::array<uint32_t, 3>> fixedSize_;
    std::mutex mutex_;
    std::map<std::array<uint32_t, 3>, VkPipeline> pipelines_;
};

}  // namespace quendal::gpu
