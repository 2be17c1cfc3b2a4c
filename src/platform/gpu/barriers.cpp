#include "platform/gpu/barriers.hpp"

namespace quendal::gpu {

void memoryBarrier(VkCommandBuffer commandBuffer, Scope before, Scope after)
{
    VkMemoryBarrier2 barrier{VK_STRUCTURE_TYPE_MEMORY_BARRIER_2};
    barrier.srcStageMask = before.stages;
    barrier.srcAccessMask = before.access;
    barrier.dstStageMask = after.stages;
    barrier.dstAccessMask = after.access;
    VkDependencyInfo dependency{VK_STRUCTURE_TYPE_DEPENDENCY_INFO};
    dependency.memoryBarrierCount = 1;
    dependency.pMemoryBarriers = &barrier;
    vkCmdPipelineBarrier2(commandBuffer, &dependency);
}

void bufferBarrier(VkCommandBuffer commandBuffer, VkBuffer buffer, Scope before, Scope after)
{
    VkBufferMemoryBarrier2 barrier{VK_STRUCTURE_TYPE_BUFFER_MEMORY_BARRIER_2};
    barrier.srcStageMask = before.stages;
    barrier.srcAccessMask = before.access;
    barrier.dstStageMask = after.stages;
    barrier.dstAccessMask = after.access;
    barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.buffer = buffer;
    barrier.size = VK_WHOLE_SIZE;
    VkDependencyInfo dependency{VK_STRUCTURE_TYPE_DEPENDENCY_INFO};
    dependency.bufferMemoryBarrierCount = 1;
    dependency.pBufferMemoryBarriers = &barrier;
    vkCmdPipelineBarrier2(commandBuffer, &dependency);
}

void imageBarrier(VkCommandBuffer commandBuffer, const ImageRange& range, VkImageLayout oldLayout,
                  VkImageLayout newLayout, Scope before, Scope after)
{
    VkImageMemoryBarrier2 barrier{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2};
    barrier.srcStageMask = before.stages;
    barrier.srcAccessMask = before.access;
    barrier.dstStageMask = after.stages;
    barrier.dstAccessMask = after.access;
    barrier.oldLayout = oldLayout;
    barrier.newLayout = newLayout;
    barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.image = range.image;
    barrier.subresourceRange = {range.aspect, range.baseLevel, range.levels, 0, 1};
    VkDependencyInfo dependency{VK_STRUCTURE_TYPE_DEPENDENCY_INFO};
    dependency.imageMemoryBarrierCount = 1;
    dependency.pImageMemoryBarriers = &barrier;
    vkCmdPipelineBarrier2(commandBuffer, &dependency);
}

}  // namespace quendal::gpu
