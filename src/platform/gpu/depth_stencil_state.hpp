// A depth/stencil state object. Pipelines take depth and stencil state
// dynamically, so the object is the set of values an encoder applies when it
// is bound; it is immutable and shared by every window and frame.
#pragma once

#include <vulkan/vulkan.h>

#include "platform/gpu/enums.hpp"

namespace quendal::gpu {

struct StencilDescriptor {
    CompareFunction compare = CompareFunction::Always;
    StencilOperation failOp = StencilOperation::Keep;
    StencilOperation depthFailOp = StencilOperation::Keep;
    StencilOperation passOp = StencilOperation::Keep;
    uint32_t readMask = 0xFF;
    uint32_t writeMask = 0xFF;
};

struct DepthStencilDescriptor {
    CompareFunction depthCompare = CompareFunction::Always;
    bool depthWriteEnabled = false;
    StencilDescriptor front;
    StencilDescriptor back;
};

class DepthStencilState {
public:
    explicit DepthStencilState(const DepthStencilDescriptor& descriptor) : descriptor_(descriptor) {}
    const DepthStencilDescriptor& descriptor() const { return descriptor_; }

    // Records the state into a command buffer inside a render pass. The depth
    // state is recorded when depthDynamic (the bound pipeline variant takes it:
    // the frame has a depth attachment), and the test enabled only when
    // depthTest too (the pipeline declares depth); stencil alike.
    void apply(VkCommandBuffer commandBuffer, bool depthDynamic, bool depthTest, bool stencilDynamic,
               bool stencilTest) const;

private:
    DepthStencilDescriptor descriptor_;
};

}  // namespace quendal::gpu
