// Pipeline barriers, one of each kind, so that every recording site states only
// what it orders: stages and accesses before, stages and accesses after.
#pragma once

#include <vulkan/vulkan.h>

namespace quendal::gpu {

struct Scope {
    VkPipelineStageFlags2 stages = VK_PIPELINE_STAGE_2_NONE;
    VkAccessFlags2 access = VK_ACCESS_2_NONE;
};

// All of the image's levels, or one level.
struct ImageRange {
    VkImage image = VK_NULL_HANDLE;
    VkImageAspectFlags aspect = VK_IMAGE_ASPECT_COLOR_BIT;
    uint32_t baseLevel = 0;
    uint32_t levels = VK_REMAINING_MIP_LEVELS;
};

void memoryBarrier(VkCommandBuffer commandBuffer, Scope before, Scope after);
void bufferBarrier(VkCommandBuffer commandBuffer, VkBuffer buffer, Scope before, Scope after);
void imageBarrier(VkCommandBuffer commandBuffer, const ImageRange& range, VkImageLayout oldLayout,
                  VkImageLayout newLayout, Scope before, Scope after);

}  // namespace quendal::gpu
