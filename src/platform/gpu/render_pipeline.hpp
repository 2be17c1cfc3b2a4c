// Render pipeline states: a vertex and a fragment function with one colour
// attachment, optional depth and stencil attachments, for dynamic rendering.
//
// Viewport, scissor, primitive topology, primitive restart and, where the
// pipeline has the attachment, the depth test (enable, write, compare) and the
// stencil test (enable, operations, compare masks, write mask, reference) are
// dynamic state: the encoder sets them, so one pipeline serves every viewport
// and depth/stencil state. Vulkan fixes the topology class in the pipeline, so
// pipelineFor() builds one pipeline per class on first use. Thread-safe.
#pragma once

#include <compare>
#include <map>
#include <utility>
#include <cstdint>
#include <memory>
#include <mutex>

#include <vulkan/vulkan.h>

#include "platform/gpu/enums.hpp"
#include "platform/gpu/library.hpp"
#include "platform/gpu/pipeline_layout.hpp"
#include "platform/gpu/pixel_format.hpp"
#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class Device;

struct RenderPipelineDescriptor {
    std::shared_ptr<Function> vertexFunction;
    std::shared_ptr<Function> fragmentFunction;
    PixelFormat colorPixelFormat = PixelFormat::BGRA8Unorm;
    uint32_t rasterSampleCount = 1;
    bool blendingEnabled = false;
    BlendOperation rgbBlendOperation = BlendOperation::Add;
    BlendOperation alphaBlendOperation = BlendOperation::Add;
    BlendFactor sourceRGBBlendFactor = BlendFactor::One;
    BlendFactor sourceAlphaBlendFactor = BlendFactor::One;
    BlendFactor destinationRGBBlendFactor = BlendFactor::Zero;
    BlendFactor destinationAlphaBlendFactor = BlendFactor::Zero;
    uint32_t writeMask = ColorWriteMaskAll;  // ColorWriteMask bits
    PixelFormat depthAttachmentPixelFormat = PixelFormat::Invalid;
    PixelFormat stencilAttachmentPixelFormat = PixelFormat::Invalid;
};

enum class PrimitiveClass { Point, Line, Triangle };

// The Vulkan formats of the depth and stencil attachments for the contract's
// formats: when both are set, one combined D32_SFLOAT_S8_UINT image backs both.
struct DepthStencilFormats {
    VkFormat depth = VK_FORMAT_UNDEFINED;
    VkFormat stencil = VK_FORMAT_UNDEFINED;
};
DepthStencilFormats depthStencilFormats(PixelFormat depth, PixelFormat stencil);

// The attachments of the frame a pipeline draws into. A pipeline bound into a
// frame whose attachments differ from its own descriptor's gets a variant built
// for the frame's (Vulkan refuses a mismatch; Metal leaves it to the platform).
struct AttachmentFormats {
    VkFormat color = VK_FORMAT_UNDEFINED;
    VkFormat depth = VK_FORMAT_UNDEFINED;
    VkFormat stencil = VK_FORMAT_UNDEFINED;
    uint32_t sampleCount = 1;
    auto operator<=>(const AttachmentFormats&) const = default;
};

class RenderPipelineState {
public:
    // Builds the triangle pipeline at once, so that a pipeline that cannot be
    // made fails here. Error reason: what failed.
    static Result<std::shared_ptr<RenderPipelineState>> create(std::shared_ptr<Device> device,
                                                               const RenderPipelineDescriptor& descriptor);
    ~RenderPipelineState();
    RenderPipelineState(const RenderPipelineState&) = delete;
    RenderPipelineState& operator=(const RenderPipelineState&) = delete;

    // For the descriptor's own attachments, or for a frame's. Built on first
    // use and kept for the pipeline's life.
    Result<VkPipeline> pipelineFor(PrimitiveClass primitive);
    Result<VkPipeline> pipelineFor(PrimitiveClass primitive, const AttachmentFormats& frame);
    VkPipeline vk() const { return triangle_; }
    AttachmentFormats ownAttachments() const;
    const PipelineLayout& layout() const { return *layout_; }

    PixelFormat colorPixelFormat() const { return descriptor_.colorPixelFormat; }
    PixelFormat depthAttachmentPixelFormat() const { return descriptor_.depthAttachmentPixelFormat; }
    PixelFormat stencilAttachmentPixelFormat() const { return descriptor_.stencilAttachmentPixelFormat; }
    VkFormat vkColorFormat() const { return vkFormat(descriptor_.colorPixelFormat); }
    DepthStencilFormats vkDepthStencilFormats() const { return attachments_; }
    uint32_t sampleCount() const { return descriptor_.rasterSampleCount; }
    bool blendingEnabled() const { return descriptor_.blendingEnabled; }
    uint32_t writeMask() const { return descriptor_.writeMask; }
    // Whether the descriptor names a depth / stencil attachment: only then do the
    // encoder's depth and stencil tests apply to draws with this pipeline.
    bool hasDynamicDepth() const { return attachments_.depth != VK_FORMAT_UNDEFINED; }
    bool hasDynamicStencil() const { return attachments_.stencil != VK_FORMAT_UNDEFINED; }
    // Whether back-to-back draws of adjacent vertex ranges may be recorded as
    // one: true unless a stage reads which draw or primitive it is in.
    bool drawsMerge() const { return drawsMerge_; }

private:
    explicit RenderPipelineState(std::shared_ptr<Device> device) : device_(std::move(device)) {}
    Result<VkPipeline> build(PrimitiveClass primitive, const AttachmentFormats& frame);

    std::shared_ptr<Device> device_;
    RenderPipelineDescriptor descriptor_;
    DepthStencilFormats attachments_;
    std::shared_ptr<PipelineLayout> layout_;
    std::shared_ptr<ShaderModule> vertexModule_;
    std::shared_ptr<ShaderModule> fragmentModule_;
    std::string vertexName_;
    std::string fragmentName_;
    bool writesPointSize_ = false;
    bool drawsMerge_ = false;
    std::mutex mutex_;
    std::map<std::pair<AttachmentFormats, PrimitiveClass>, VkPipeline> pipelines_;
    VkPipeline triangle_ = VK_NULL_HANDLE;
};

}  // namespace quendal::gpu
