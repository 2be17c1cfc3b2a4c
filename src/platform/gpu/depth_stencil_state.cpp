#include "platform/gpu/depth_stencil_state.hpp"

namespace quendal::gpu {

void DepthStencilState::apply(VkCommandBuffer cb, bool depthDynamic, bool depthTest, bool stencilDynamic,
                              bool stencilTest) const
{
    const auto& d = descriptor_;
    if (depthDynamic) {
        // A compare of "always" without writes is the same as no test.
        vkCmdSetDepthTestEnable(cb, depthTest && (d.depthCompare != VK_COMPARE_OP_ALWAYS || d.depthWriteEnabled));
        vkCmdSetDepthWriteEnable(cb, depthTest && d.depthWriteEnabled);
        vkCmdSetDepthCompareOp(cb, d.depthCompare);
    }
    if (stencilDynamic) {
        vkCmdSetStencilTestEnable(cb, stencilTest);
        vkCmdSetStencilOp(cb, VK_STENCIL_FACE_FRONT_BIT, d.front.failOp, d.front.passOp, d.front.depthFailOp,
                          d.front.compare);
        vkCmdSetStencilOp(cb, VK_STENCIL_FACE_BACK_BIT, d.back.failOp, d.back.passOp, d.back.depthFailOp,
                          d.back.compare);
        vkCmdSetStencilCompareMask(cb, VK_STENCIL_FACE_FRONT_AND_BACK, d.front.readMask);
        vkCmdSetStencilWriteMask(cb, VK_STENCIL_FACE_FRONT_AND_BACK, d.front.writeMask);
    }
}

}  // namespace quendal::gpu
