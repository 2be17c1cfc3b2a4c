#include "platform/gpu/depth_stencil_state.hpp"

#include <utility>

#include "platform/gpu/vulkan_enums.hpp"

namespace quendal::gpu {

void DepthStencilState::apply(VkCommandBuffer cb, bool depthDynamic, bool depthTest, bool stencilDynamic,
                              bool stencilTest) const
{
    const auto& d = descriptor_;
    if (depthDynamic) {
        // A compare of "always" without writes is the same as no test.
        vkCmdSetDepthTestEnable(cb, depthTest && (d.depthCompare != CompareFunction::Always || d.depthWriteEnabled));
        vkCmdSetDepthWriteEnable(cb, depthTest && d.depthWriteEnabled);
        vkCmdSetDepthCompareOp(cb, vkCompareOp(d.depthCompare));
    }
    if (stencilDynamic) {
        vkCmdSetStencilTestEnable(cb, stencilTest);
        for (const auto& [face, stencil] : {std::pair{VK_STENCIL_FACE_FRONT_BIT, &d.front},
                                            std::pair{VK_STENCIL_FACE_BACK_BIT, &d.back}}) {
            vkCmdSetStencilOp(cb, face, vkStencilOp(stencil->failOp), vkStencilOp(stencil->passOp),
                              vkStencilOp(stencil->depthFailOp), vkCompareOp(stencil->compare));
        }
        vkCmdSetStencilCompareMask(cb, VK_STENCIL_FACE_FRONT_AND_BACK, d.front.readMask);
        vkCmdSetStencilWriteMask(cb, VK_STENCIL_FACE_FRONT_AND_BACK, d.front.writeMask);
    }
}

}  // namespace quendal::gpu
