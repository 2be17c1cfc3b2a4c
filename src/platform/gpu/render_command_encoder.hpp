// A render command encoder: one render pass of a command buffer over dynamic
// rendering, with Metal's binding model. Bindings are remembered and pushed
// (one push-descriptor set) at each draw for the resources the bound pipeline
// uses; a resource the pipeline uses but nobody bound is one of the device's
// zero-filled stand-ins, so nothing undefined reaches the GPU.
//
// Layouts: attachments move to attachment layouts before rendering begins and
// every texture the encoder touched returns to its resting layout at
// endEncoding, so command buffers recorded side by side may be committed in
// any order. A sampled texture must be in shader-read layout before rendering
// begins; one that is not (never used yet) makes the encoder end rendering,
// move it and resume with the attachments loaded. A frame's own attachments,
// multisample textures and textures that cannot be sampled read as the zero
// stand-in texture (sampling the target being drawn is a feedback loop).
//
// Not thread-safe: one thread records at a time (callers hold their lock).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include <vulkan/vulkan.h>

#include "platform/gpu/descriptor_push.hpp"
#include "platform/gpu/render_pipeline.hpp"
#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class Buffer;
class CommandBuffer;
class DepthStencilState;
class Texture;

// Metal's primitive and index type values.
enum class PrimitiveType : uint32_t { Point = 0, Line = 1, LineStrip = 2, Triangle = 3, TriangleStrip = 4 };
enum class IndexType : uint32_t { UInt16 = 0, UInt32 = 1 };
uint32_t indexSize(IndexType type);

struct RenderPassDescriptor {
    // Colour attachment 0: cleared, stored; with resolveTexture, texture is
    // multisample and resolves (average) into resolveTexture.
    std::shared_ptr<Texture> colorTexture;
    std::shared_ptr<Texture> resolveTexture;
    std::array<double, 4> clearColor{0, 0, 0, 1};
    // Cleared to clearDepth / clearStencil. Depth and stencil may be the same
    // combined image (or aliases of one).
    std::shared_ptr<Texture> depthTexture;
    double clearDepth = 1.0;
    std::shared_ptr<Texture> stencilTexture;
    uint32_t clearStencil = 0;
};

class RenderCommandEncoder {
public:
    // Error reason: why the attachments cannot be rendered to.
    static Result<std::shared_ptr<RenderCommandEncoder>> create(std::shared_ptr<CommandBuffer> commandBuffer,
                                                                const RenderPassDescriptor& descriptor);
    RenderCommandEncoder(const RenderCommandEncoder&) = delete;
    RenderCommandEncoder& operator=(const RenderCommandEncoder&) = delete;

    void setRenderPipelineState(std::shared_ptr<RenderPipelineState> state);
    // Offsets must lie inside the buffer; the caller checks.
    void setVertexBuffer(std::shared_ptr<Buffer> buffer, uint64_t offset, uint32_t index);
    void setFragmentBuffer(std::shared_ptr<Buffer> buffer, uint64_t offset, uint32_t index);
    void setFragmentTexture(std::shared_ptr<Texture> texture, uint32_t index);
    // Null restores the default: no depth test or writes, stencil always/keep.
    void setDepthStencilState(std::shared_ptr<DepthStencilState> state);
    void setStencilReferenceValue(uint32_t value);

    // Each fails, recording nothing, when no pipeline is bound, the pipeline
    // cannot be built for this pass, a bound buffer offset does not suit the
    // binding (code VK_ERROR_VALIDATION_FAILED_EXT), or a count or offset does
    // not fit Vulkan or the buffers.
    Status drawPrimitives(PrimitiveType type, uint64_t vertexStart, uint64_t vertexCount, uint64_t instanceCount = 1);
    Status drawIndexedPrimitives(PrimitiveType type, uint64_t indexCount, IndexType indexType,
                                 const std::shared_ptr<Buffer>& indexBuffer, uint64_t indexBufferOffset,
                                 uint64_t instanceCount = 1);
    // Arguments: 4 x uint32 (vertex count, instance count, first vertex, first instance).
    Status drawPrimitives(PrimitiveType type, const std::shared_ptr<Buffer>& indirectBuffer, uint64_t indirectOffset);
    // Arguments: index count, instance count, first index, vertex offset (int32), first instance.
    Status drawIndexedPrimitives(PrimitiveType type, IndexType indexType, const std::shared_ptr<Buffer>& indexBuffer,
                                 uint64_t indexBufferOffset, const std::shared_ptr<Buffer>& indirectBuffer,
                                 uint64_t indirectOffset);

    bool hasRenderPipelineState() const { return pipeline_ != nullptr; }
    void endEncoding();
    const AttachmentFormats& attachmentFormats() const { return formats_; }

private:
    explicit RenderCommandEncoder(std::shared_ptr<CommandBuffer> commandBuffer)
        : commandBuffer_(std::move(commandBuffer))
    {
    }
    void beginRendering(bool clear);
    Status prepareDraw(PrimitiveType type);
    Status resolveBindings(std::vector<std::shared_ptr<Texture>>& toSample, std::vector<Texture*>& toPrepare);
    void applyState(VkCommandBuffer cb, VkPipeline pipeline, PrimitiveType type);
    bool extendsPendingDraw(PrimitiveType type, uint64_t vertexStart) const;
    void flushPendingDraw();
    bool isAttachment(const Texture& texture) const;

    std::shared_ptr<CommandBuffer> commandBuffer_;
    RenderPassDescriptor pass_;
    AttachmentFormats formats_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    bool rendering_ = false;
    bool ended_ = false;
    std::vector<std::shared_ptr<Texture>> touched_;
    std::shared_ptr<RenderPipelineState> pipeline_;
    std::shared_ptr<DepthStencilState> depthStencil_;
    uint32_t stencilReference_ = 0;
    std::map<uint32_t, BufferBinding> vertexBuffers_;
    std::map<uint32_t, BufferBinding> fragmentBuffers_;
    std::map<uint32_t, std::shared_ptr<Texture>> fragmentTextures_;
    // What the command buffer holds already, so that repeated draws record
    // only what changed.
    VkPipeline boundPipeline_ = VK_NULL_HANDLE;
    // The variant of pipeline_ that the last draw used, for its primitive class:
    // consecutive draws skip the variant lookup. The command buffer retains every
    // state set, so the address cannot come back as another pipeline.
    const RenderPipelineState* variantOf_ = nullptr;
    PrimitiveClass variantClass_{};
    VkPipeline variant_ = VK_NULL_HANDLE;
    VkPrimitiveTopology boundTopology_ = VK_PRIMITIVE_TOPOLOGY_MAX_ENUM;
    bool stateDirty_ = true;
    bool bindingsDirty_ = true;
    DescriptorPush push_;  // kept between draws for its storage
    // A plain draw not yet recorded: the next one may continue its vertex
    // range under the same state, and then both go to the driver as one
    // (drivers pay per draw, and batches of small draws are common).
    struct PendingDraw {
        bool active = false;
        PrimitiveType type = PrimitiveType::Triangle;
        uint32_t first = 0;
        uint32_t count = 0;
    } pending_;
};

}  // namespace quendal::gpu
