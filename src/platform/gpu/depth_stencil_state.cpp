#include "platform/gpu/depth_stencil_state.hpp"

namespace quendal::gpu {

void DepthStencilState::apply(VkCommandBuffer cb, bool hasDepth, bool hasStencil) const
{
    const auto& d = descriptor_;
    // A compare of "always" without writes is the same as no test; keep the test
    // off then so that frames without a depth attachment behave alike.
    const bool depthTest = hasDepth && (d.depthCompare != VK_COMPARE_OP_ALWAYS || d.depthWriteEnabled);
    vkCmdSetDepthTestEnable(cb, depthTest);
    vkCmdSetDepthWriteEnable(cb, hasDepth && d.depthWriteEnabled);
    vkCmdSetDepthCompareOp(cb, d.depthCompare);
    vkCmdSetStencilTestEnable(cb, hasStencil);
    vkCmdSetStencilOp(cb, VK_STENCIL_FACE_FRONT_BIT, d.front.failOp, d.front.passOp, d.front.depthFailOp, d.front.compare);
    vkCmdSetStencilOp(cb, VK_STENCIL_FACE_BACK_BIT, d.back.failOp, d.back.passOp, d.back.depthFailOp, d.back.compare);
    vkCmdSetStencilCompareMask(cb, VK_STENCIL_FACE_FRONT_AND_BACK, d.front.readMask);
    vkCmdSetStencilWriteMask(cb, VK_STENCIL_FACE_FRONT_AND_BACK, d.front.writeMask);
}

}  // namespace quendal::gpu
