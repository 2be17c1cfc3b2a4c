// What the facade's enums and error kinds mean to Vulkan: the one place that
// maps between them. Internal to the facade.
#pragma once

#include <vulkan/vulkan.h>

#include "platform/gpu/enums.hpp"
#include "platform/gpu/result.hpp"

namespace quendal::gpu {

VkCompareOp vkCompareOp(CompareFunction function);
VkStencilOp vkStencilOp(StencilOperation operation);
VkBlendFactor vkBlendFactor(BlendFactor factor);
VkBlendOp vkBlendOp(BlendOperation operation);
VkColorComponentFlags vkColorComponents(uint32_t writeMask);
// Bit N of the mask for N samples: the same bits as VkSampleCountFlags.
SampleCountMask sampleCountMask(VkSampleCountFlags flags);

// The kind of failure a Vulkan result reports.
ErrorKind errorKind(VkResult result);

}  // namespace quendal::gpu
