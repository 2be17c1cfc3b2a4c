#include "platform/gpu/render_command_encoder.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/depth_stencil_state.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/texture.hpp"

namespace quendal::gpu {

namespace {

PrimitiveClass classOf(PrimitiveType type)
{
    switch (type) {
    case PrimitiveType::Point: return PrimitiveClass::Point;
    case PrimitiveType::Line:
    case PrimitiveType::LineStrip: return PrimitiveClass::Line;
    default: return PrimitiveClass::Triangle;
    }
}

// Vertices per primitive of a list type; 0 for strips, whose draws never merge.
uint32_t listVertices(PrimitiveType type)
{
    switch (type) {
    case PrimitiveType::Point: return 1;
    case PrimitiveType::Line: return 2;
    case PrimitiveType::Triangle: return 3;
    default: return 0;
    }
}

VkPrimitiveTopology topologyOf(PrimitiveType type)
{
    switch (type) {
    case PrimitiveType::Point: return VK_PRIMITIVE_TOPOLOGY_POINT_LIST;
    case PrimitiveType::Line: return VK_PRIMITIVE_TOPOLOGY_LINE_LIST;
    case PrimitiveType::LineStrip: return VK_PRIMITIVE_TOPOLOGY_LINE_STRIP;
    case PrimitiveType::Triangle: return VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
    case PrimitiveType::TriangleStrip: return VK_PRIMITIVE_TOPOLOGY_TRIANGLE_STRIP;
    }
    return VK_PRIMITIVE_TOPOLOGY_TRIANGLE_STRIP;
}

bool fits32(uint64_t value)
{
    return value <= std::numeric_limits<uint32_t>::max();
}

const DepthStencilState& defaultDepthStencil()
{
    static const DepthStencilState state{DepthStencilDescriptor{}};
    return state;
}

}  // namespace

uint32_t indexSize(IndexType type)
{
    return type == IndexType::UInt32 ? 4 : 2;
}

Result<std::shared_ptr<RenderCommandEncoder>> RenderCommandEncoder::create(std::shared_ptr<CommandBuffer> commandBuffer,
                                                                           const RenderPassDescriptor& descriptor)
{
    if (!descriptor.colorTexture) return Error{VK_ERROR_INITIALIZATION_FAILED, "a render pass needs a colour texture"};
    if (auto zero = commandBuffer->device()->standIns(*commandBuffer->commandQueue()); !zero) return zero.error();
    std::shared_ptr<RenderCommandEncoder> encoder(new RenderCommandEncoder(std::move(commandBuffer)));
    RenderCommandEncoder& e = *encoder;
    e.pass_ = descriptor;
    const Texture& color = *descriptor.colorTexture;
    e.width_ = color.width();
    e.height_ = color.height();
    e.formats_.color = color.format();
    e.formats_.sampleCount = color.sampleCount();
    for (const auto* t : {descriptor.resolveTexture.get(), descriptor.depthTexture.get(), descriptor.stencilTexture.get()}) {
        if (t && (t->width() != e.width_ || t->height() != e.height_)) {
            return Error{VK_ERROR_INITIALIZATION_FAILED, "the render pass's attachments differ in size"};
        }
    }
    if (descriptor.depthTexture) {
        if (!(descriptor.depthTexture->aspect() & VK_IMAGE_ASPECT_DEPTH_BIT)) {
            return Error{VK_ERROR_INITIALIZATION_FAILED, "the depth attachment has no depth"};
        }
        e.formats_.depth = descriptor.depthTexture->format();
    }
    if (descriptor.stencilTexture) {
        if (!(descriptor.stencilTexture->aspect() & VK_IMAGE_ASPECT_STENCIL_BIT)) {
            return Error{VK_ERROR_INITIALIZATION_FAILED, "the stencil attachment has no stencil"};
        }
        e.formats_.stencil = descriptor.stencilTexture->format();
    }
    // Vulkan renders with one image for depth and stencil, never two.
    if (descriptor.depthTexture && descriptor.stencilTexture &&
        descriptor.depthTexture->image() != descriptor.stencilTexture->image()) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "depth and stencil must be one combined image"};
    }

    CommandBuffer& cb = *e.commandBuffer_;
    // Every attachment is cleared (the colour target resolved into), so its
    // old contents go whatever layout the image is really in.
    std::vector<std::shared_ptr<Texture>> colors{descriptor.colorTexture};
    if (descriptor.resolveTexture) colors.push_back(descriptor.resolveTexture);
    for (const auto& t : colors) {
        t->transition(cb, VK_IMAGE_LAYOUT_ATTACHMENT_OPTIMAL, VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT,
                      VK_ACCESS_2_COLOR_ATTACHMENT_READ_BIT | VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT, true);
        e.touched_.push_back(t);
    }
    const auto& depthStencil = descriptor.depthTexture ? descriptor.depthTexture : descriptor.stencilTexture;
    if (depthStencil) {
        depthStencil->transition(cb, VK_IMAGE_LAYOUT_ATTACHMENT_OPTIMAL,
                                 VK_PIPELINE_STAGE_2_EARLY_FRAGMENT_TESTS_BIT |
                                     VK_PIPELINE_STAGE_2_LATE_FRAGMENT_TESTS_BIT,
                                 VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_READ_BIT |
                                     VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT,
                                 true);
        e.touched_.push_back(depthStencil);
    }
    for (const auto& t : e.touched_) cb.retain(t);
    e.beginRendering(true);
    return encoder;
}

void RenderCommandEncoder::beginRendering(bool clear)
{
    const VkAttachmentLoadOp load = clear ? VK_ATTACHMENT_LOAD_OP_CLEAR : VK_ATTACHMENT_LOAD_OP_LOAD;
    VkRenderingAttachmentInfo color{VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO};
    color.imageView = pass_.colorTexture->attachmentView();
    color.imageLayout = VK_IMAGE_LAYOUT_ATTACHMENT_OPTIMAL;
    color.loadOp = load;
    // Stored even when resolved: rendering may be resumed after a layout change.
    color.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
    for (int i = 0; i < 4; ++i) color.clearValue.color.float32[i] = static_cast<float>(pass_.clearColor[i]);
    if (pass_.resolveTexture) {
        color.resolveMode = VK_RESOLVE_MODE_AVERAGE_BIT;
        color.resolveImageView = pass_.resolveTexture->attachmentView();
        color.resolveImageLayout = VK_IMAGE_LAYOUT_ATTACHMENT_OPTIMAL;
    }
    VkRenderingAttachmentInfo depth{VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO};
    VkRenderingAttachmentInfo stencil{VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO};
    using Target = std::pair<VkRenderingAttachmentInfo*, const Texture*>;
    for (auto [info, texture] : {Target{&depth, pass_.depthTexture.get()}, Target{&stencil, pass_.stencilTexture.get()}}) {
        if (!texture) continue;
        info->imageView = texture->attachmentView();
        info->imageLayout = VK_IMAGE_LAYOUT_ATTACHMENT_OPTIMAL;
        info->loadOp = load;
        info->storeOp = VK_ATTACHMENT_STORE_OP_STORE;
        info->clearValue.depthStencil = {static_cast<float>(pass_.clearDepth), pass_.clearStencil};
    }
    VkRenderingInfo rendering{VK_STRUCTURE_TYPE_RENDERING_INFO};
    rendering.renderArea = {{0, 0}, {width_, height_}};
    rendering.layerCount = 1;
    rendering.colorAttachmentCount = 1;
    rendering.pColorAttachments = &color;
    rendering.pDepthAttachment = pass_.depthTexture ? &depth : nullptr;
    rendering.pStencilAttachment = pass_.stencilTexture ? &stencil : nullptr;
    VkCommandBuffer cb = commandBuffer_->vk();
    vkCmdBeginRendering(cb, &rendering);
    rendering_ = true;

    // A negative height makes y point up in clip space, as on Metal.
    VkViewport viewport{0, static_cast<float>(height_), static_cast<float>(width_), -static_cast<float>(height_), 0, 1};
    vkCmdSetViewport(cb, 0, 1, &viewport);
    VkRect2D scissor{{0, 0}, {width_, height_}};
    vkCmdSetScissor(cb, 0, 1, &scissor);
}

bool RenderCommandEncoder::isAttachment(const Texture& texture) const
{
    for (const auto* t : {pass_.colorTexture.get(), pass_.resolveTexture.get(), pass_.depthTexture.get(),
                          pass_.stencilTexture.get()}) {
        if (t && t->image() == texture.image()) return true;
    }
    return false;
}

void RenderCommandEncoder::setRenderPipelineState(std::shared_ptr<RenderPipelineState> state)
{
    commandBuffer_->retain(state);
    if (state != pipeline_) bindingsDirty_ = stateDirty_ = true;
    pipeline_ = std::move(state);
}

void RenderCommandEncoder::setVertexBuffer(std::shared_ptr<Buffer> buffer, uint64_t offset, uint32_t index)
{
    commandBuffer_->retain(buffer);
    vertexBuffers_[index] = {std::move(buffer), offset};
    bindingsDirty_ = true;
}

void RenderCommandEncoder::setFragmentBuffer(std::shared_ptr<Buffer> buffer, uint64_t offset, uint32_t index)
{
    commandBuffer_->retain(buffer);
    fragmentBuffers_[index] = {std::move(buffer), offset};
    bindingsDirty_ = true;
}

void RenderCommandEncoder::setFragmentTexture(std::shared_ptr<Texture> texture, uint32_t index)
{
    commandBuffer_->retain(texture);
    fragmentTextures_[index] = std::move(texture);
    bindingsDirty_ = true;
}

void RenderCommandEncoder::setDepthStencilState(std::shared_ptr<DepthStencilState> state)
{
    if (state) commandBuffer_->retain(state);
    depthStencil_ = std::move(state);
    stateDirty_ = true;
}

void RenderCommandEncoder::setStencilReferenceValue(uint32_t value)
{
    stencilReference_ = value;
    stateDirty_ = true;
}

// Resolves every binding of the bound pipeline into the pending descriptor
// push, and lists the sampled textures that need a layout change (toSample) or
// only their first placement (toPrepare). Records nothing.
Status RenderCommandEncoder::resolveBindings(std::vector<std::shared_ptr<Texture>>& toSample,
                                             std::vector<Texture*>& toPrepare)
{
    const Device& device = *commandBuffer_->device();
    const PipelineLayout& layout = pipeline_->layout();
    auto standIns = commandBuffer_->device()->standIns(*commandBuffer_->commandQueue());
    if (!standIns) return standIns.error();
    const StandIns* zero = standIns.value();
    auto findBuffer = [&](BindingSpace space, uint32_t index) -> const BufferBinding* {
        const auto& bound = space == BindingSpace::VertexBuffer ? vertexBuffers_ : fragmentBuffers_;
        auto it = bound.find(index);
        return it == bound.end() ? nullptr : &it->second;
    };
    // Offsets inside the buffer are the caller's check.
    auto checkOffset = [](uint32_t index, const BufferBinding& bound, uint64_t alignment,
                          bool) -> std::optional<Error> {
        if (bound.offset % alignment) {
            return Error{VK_ERROR_VALIDATION_FAILED_EXT,
                         "The buffer offset at index " + std::to_string(index) + " must be a multiple of " +
                             std::to_string(alignment) + " on this device."};
        }
        return std::nullopt;
    };
    auto resolveImage = [&](const ResourceBinding& b, uint32_t index) -> Result<VkDescriptorImageInfo> {
        if (b.type == VK_DESCRIPTOR_TYPE_STORAGE_IMAGE) {
            // Fragment stores go nowhere: textures rest in shader-read layout.
            if (!zero->storage) return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "no storage image for the binding"};
            return VkDescriptorImageInfo{VK_NULL_HANDLE, zero->storage->view(), VK_IMAGE_LAYOUT_GENERAL};
        }
        const Texture* texture = zero->sampled.get();
        if (auto it = fragmentTextures_.find(index); it != fragmentTextures_.end()) {
            const Texture& bound = *it->second;
            if ((bound.usage() & TextureUsageShaderRead) && bound.sampleCount() == 1 && !isAttachment(bound) &&
                bound.restingLayout() == VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL) {
                texture = &bound;
                if (it->second->layout() != VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL) {
                    toSample.push_back(it->second);
                } else {
                    toPrepare.push_back(it->second.get());
                }
            }
        }
        return VkDescriptorImageInfo{VK_NULL_HANDLE, texture->view(), VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
    };
    if (auto resolved = push_.resolve(layout, device, *zero, findBuffer, checkOffset, resolveImage); !resolved) {
        return resolved;
    }
    return success();
}

// Binds the pipeline variant and sets the dynamic state it left out, where
// either changed since the last draw.
void RenderCommandEncoder::applyState(VkCommandBuffer cb, VkPipeline pipeline, PrimitiveType type)
{
    if (pipeline != boundPipeline_) {
        vkCmdBindPipeline(cb, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
        boundPipeline_ = pipeline;
        stateDirty_ = true;
    }
    if (topologyOf(type) != boundTopology_ || stateDirty_) {
        boundTopology_ = topologyOf(type);
        vkCmdSetPrimitiveTopology(cb, boundTopology_);
        vkCmdSetPrimitiveRestartEnable(cb, VK_FALSE);
    }
    if (stateDirty_) {
        const bool depthDynamic = formats_.depth != VK_FORMAT_UNDEFINED;
        const bool stencilDynamic = formats_.stencil != VK_FORMAT_UNDEFINED;
        const DepthStencilState& state = depthStencil_ ? *depthStencil_ : defaultDepthStencil();
        state.apply(cb, depthDynamic, pipeline_->hasDynamicDepth(), stencilDynamic, pipeline_->hasDynamicStencil());
        if (stencilDynamic) vkCmdSetStencilReference(cb, VK_STENCIL_FACE_FRONT_AND_BACK, stencilReference_);
        stateDirty_ = false;
    }
}

Status RenderCommandEncoder::prepareDraw(PrimitiveType type)
{
    if (ended_) return Error{VK_ERROR_INITIALIZATION_FAILED, "the render pass has ended"};
    flushPendingDraw();
    if (!pipeline_) return Error{VK_ERROR_INITIALIZATION_FAILED, "no render pipeline is bound"};
    const PrimitiveClass primitiveClass = classOf(type);
    if (variantOf_ != pipeline_.get() || variantClass_ != primitiveClass) {
        auto variant = pipeline_->pipelineFor(primitiveClass, formats_);
        if (!variant) return variant.error();
        variantOf_ = pipeline_.get();
        variantClass_ = primitiveClass;
        variant_ = variant.value();
    }
    const VkPipeline pipeline = variant_;

    // Resolve every binding first: nothing is recorded for a draw that fails.
    std::vector<std::shared_ptr<Texture>> toSample;
    std::vector<Texture*> toPrepare;
    if (bindingsDirty_) {
        if (auto resolved = resolveBindings(toSample, toPrepare); !resolved) return resolved;
    }

    VkCommandBuffer cb = commandBuffer_->vk();
    for (Texture* t : toPrepare) t->prepareForUse(*commandBuffer_);
    if (!toSample.empty()) {
        vkCmdEndRendering(cb);
        rendering_ = false;
        for (const auto& t : toSample) {
            t->transition(*commandBuffer_, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
                          VK_PIPELINE_STAGE_2_VERTEX_SHADER_BIT | VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT,
                          VK_ACCESS_2_SHADER_READ_BIT);
            touched_.push_back(t);
        }
        beginRendering(false);
    }

    applyState(cb, pipeline, type);
    if (bindingsDirty_) {
        push_.record(cb, *commandBuffer_->device(), VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline_->layout());
    }
    bindingsDirty_ = false;
    return success();
}

Status RenderCommandEncoder::drawPrimitives(PrimitiveType type, uint64_t vertexStart, uint64_t vertexCount,
                                            uint64_t instanceCount)
{
    if (!fits32(vertexStart) || !fits32(vertexCount) || !fits32(instanceCount) ||
        !fits32(vertexStart + vertexCount)) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "vertex or instance counts beyond 32 bits"};
    }
    if (instanceCount == 1 && extendsPendingDraw(type, vertexStart)) {
        pending_.count += static_cast<uint32_t>(vertexCount);
        return success();
    }
    if (auto prepared = prepareDraw(type); !prepared) return prepared;
    if (instanceCount == 1 && listVertices(type) != 0 && pipeline_->drawsMerge()) {
        pending_ = {true, type, static_cast<uint32_t>(vertexStart), static_cast<uint32_t>(vertexCount)};
        return success();
    }
    vkCmdDraw(commandBuffer_->vk(), static_cast<uint32_t>(vertexCount), static_cast<uint32_t>(instanceCount),
              static_cast<uint32_t>(vertexStart), 0);
    return success();
}

// A draw continues the pending one when nothing was set in between, its
// primitives are of the same list type, its range starts where the pending
// one ends, and that one ends on a whole primitive (else the leftover
// vertices would join the next draw's first primitive).
bool RenderCommandEncoder::extendsPendingDraw(PrimitiveType type, uint64_t vertexStart) const
{
    if (!pending_.active || type != pending_.type || bindingsDirty_ || stateDirty_) return false;
    return vertexStart == uint64_t{pending_.first} + pending_.count && pending_.count % listVertices(type) == 0;
}

void RenderCommandEncoder::flushPendingDraw()
{
    if (!pending_.active) return;
    pending_.active = false;
    vkCmdDraw(commandBuffer_->vk(), pending_.count, 1, pending_.first, 0);
}

Status RenderCommandEncoder::drawIndexedPrimitives(PrimitiveType type, uint64_t indexCount, IndexType indexType,
                                                   const std::shared_ptr<Buffer>& indexBuffer,
                                                   uint64_t indexBufferOffset, uint64_t instanceCount)
{
    if (!fits32(indexCount) || !fits32(instanceCount)) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "index or instance counts beyond 32 bits"};
    }
    const uint64_t size = indexSize(indexType);
    if (indexBufferOffset % size || indexBufferOffset > indexBuffer->length() ||
        indexCount > (indexBuffer->length() - indexBufferOffset) / size) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "the indices do not lie inside the index buffer"};
    }
    if (auto prepared = prepareDraw(type); !prepared) return prepared;
    VkCommandBuffer cb = commandBuffer_->vk();
    commandBuffer_->retain(indexBuffer);
    if (indexCount == 0 || instanceCount == 0) return success();
    vkCmdBindIndexBuffer(cb, indexBuffer->vk(), indexBufferOffset,
                         indexType == IndexType::UInt32 ? VK_INDEX_TYPE_UINT32 : VK_INDEX_TYPE_UINT16);
    vkCmdDrawIndexed(cb, static_cast<uint32_t>(indexCount), static_cast<uint32_t>(instanceCount), 0, 0, 0);
    return success();
}

Status RenderCommandEncoder::drawPrimitives(PrimitiveType type, const std::shared_ptr<Buffer>& indirectBuffer,
                                            uint64_t indirectOffset)
{
    if (indirectOffset % 4 || indirectOffset > indirectBuffer->length() ||
        indirectBuffer->length() - indirectOffset < sizeof(VkDrawIndirectCommand)) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "the draw arguments do not lie inside the indirect buffer"};
    }
    if (auto prepared = prepareDraw(type); !prepared) return prepared;
    auto arguments = commandBuffer_->indirectArguments(indirectBuffer, indirectOffset, sizeof(VkDrawIndirectCommand));
    if (!arguments) return arguments.error();
    commandBuffer_->retain(indirectBuffer);
    vkCmdDrawIndirect(commandBuffer_->vk(), arguments->buffer->vk(), arguments->offset, 1,
                      sizeof(VkDrawIndirectCommand));
    return success();
}

Status RenderCommandEncoder::drawIndexedPrimitives(PrimitiveType type, IndexType indexType,
                                                   const std::shared_ptr<Buffer>& indexBuffer,
                                                   uint64_t indexBufferOffset,
                                                   const std::shared_ptr<Buffer>& indirectBuffer,
                                                   uint64_t indirectOffset)
{
    if (indexBufferOffset % indexSize(indexType) || indexBufferOffset >= indexBuffer->length()) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "the index buffer offset does not suit the index buffer"};
    }
    if (indirectOffset % 4 || indirectOffset > indirectBuffer->length() ||
        indirectBuffer->length() - indirectOffset < sizeof(VkDrawIndexedIndirectCommand)) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "the draw arguments do not lie inside the indirect buffer"};
    }
    if (auto prepared = prepareDraw(type); !prepared) return prepared;
    auto arguments =
        commandBuffer_->indirectArguments(indirectBuffer, indirectOffset, sizeof(VkDrawIndexedIndirectCommand));
    if (!arguments) return arguments.error();
    VkCommandBuffer cb = commandBuffer_->vk();
    commandBuffer_->retain(indexBuffer);
    commandBuffer_->retain(indirectBuffer);
    // Indices past the buffer's end read as zero (robust buffer access).
    vkCmdBindIndexBuffer(cb, indexBuffer->vk(), indexBufferOffset,
                         indexType == IndexType::UInt32 ? VK_INDEX_TYPE_UINT32 : VK_INDEX_TYPE_UINT16);
    vkCmdDrawIndexedIndirect(cb, arguments->buffer->vk(), arguments->offset, 1, sizeof(VkDrawIndexedIndirectCommand));
    return success();
}

void RenderCommandEncoder::endEncoding()
{
    if (ended_) return;
    flushPendingDraw();
    ended_ = true;
    if (rendering_) vkCmdEndRendering(commandBuffer_->vk());
    rendering_ = false;
    for (const auto& t : touched_) t->rest(*commandBuffer_);
    touched_.clear();
}

}  // namespace quendal::gpu
