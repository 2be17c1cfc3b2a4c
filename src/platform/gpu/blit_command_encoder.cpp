#include "platform/gpu/blit_command_encoder.hpp"

#include <algorithm>
#include <vector>

#include "platform/gpu/barriers.hpp"
#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/texture.hpp"

namespace quendal::gpu {

namespace {

Error endedError()
{
    return Error{VK_ERROR_INITIALIZATION_FAILED, "the blit encoder has ended encoding"};
}

// How one texture level is laid out in a buffer, checked against the buffer.
struct BufferLayout {
    VkImageAspectFlags aspect = 0;
    uint64_t rowBytes = 0;  // width x bytes per pixel
    uint64_t stride = 0;
    // Vulkan counts row lengths in texels and wants aligned offsets; other
    // layouts go through packed staging memory, row by row.
    bool direct = false;
};

Result<BufferLayout> bufferLayoutFor(const Texture& texture, const Buffer& buffer, uint64_t offset, uint64_t stride)
{
    if (texture.sampleCount() != 1) return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "a multisample texture cannot be copied"};
    const VkImageAspectFlags aspect = texture.aspect();
    if (aspect == (VK_IMAGE_ASPECT_DEPTH_BIT | VK_IMAGE_ASPECT_STENCIL_BIT)) {
        return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "a texture with both depth and stencil cannot be copied"};
    }
    // Depth is stored as 4 bytes in buffers, whatever bytesPerPixel counts.
    const uint64_t texelBytes = bytesPerPixel(texture.pixelFormat());
    BufferLayout layout;
    layout.aspect = aspect;
    layout.rowBytes = uint64_t{texture.width()} * texelBytes;
    layout.stride = stride ? stride : layout.rowBytes;
    if (layout.stride < layout.rowBytes) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "bytes per row is smaller than a row of the texture"};
    }
    uint64_t end = 0;
    if (__builtin_mul_overflow(layout.stride, uint64_t{texture.height()} - 1, &end) ||
        __builtin_add_overflow(end, layout.rowBytes, &end) || __builtin_add_overflow(end, offset, &end) ||
        end > buffer.length()) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "the texture's rows do not fit in the buffer"};
    }
    const uint64_t alignment = aspect == VK_IMAGE_ASPECT_COLOR_BIT ? texelBytes : 4;
    layout.direct = layout.stride % texelBytes == 0 && offset % alignment == 0 &&
                    layout.stride / texelBytes <= UINT32_MAX;
    return layout;
}

VkBufferImageCopy levelZeroCopy(const Texture& texture, const BufferLayout& layout, uint64_t offset, uint64_t stride)
{
    VkBufferImageCopy region{};
    region.bufferOffset = offset;
    region.bufferRowLength = static_cast<uint32_t>(stride / bytesPerPixel(texture.pixelFormat()));
    region.bufferImageHeight = texture.height();
    region.imageSubresource = {layout.aspect, 0, 0, 1};
    region.imageExtent = {texture.width(), texture.height(), 1};
    return region;
}

// Where a copy between level 0 of a texture and a buffer puts its rows, and the
// packed staging memory it goes through when the copy commands cannot address
// the buffer's rows directly (an empty slice when they can).
struct BufferCopyPlan {
    BufferLayout layout;
    StagingRing::Slice staging;
};

Result<BufferCopyPlan> planBufferCopy(CommandBuffer& commandBuffer, const Texture& texture, const Buffer& buffer,
                                      uint64_t offset, uint64_t bytesPerRow)
{
    auto layout = bufferLayoutFor(texture, buffer, offset, bytesPerRow);
    if (!layout) return layout.error();
    BufferCopyPlan plan{layout.value(), {}};
    if (!plan.layout.direct) {
        auto slice = commandBuffer.commandQueue()->stagingRing().allocate(plan.layout.rowBytes * texture.height());
        if (!slice) return slice.error();
        plan.staging = std::move(slice.value());
    }
    return plan;
}

// Rows between packed staging memory and a strided buffer.
void copyRows(VkCommandBuffer cb, VkBuffer source, VkBuffer destination, uint64_t rows, uint64_t rowBytes,
              uint64_t sourceStart, uint64_t sourceStride, uint64_t destinationStart, uint64_t destinationStride)
{
    std::vector<VkBufferCopy> regions(rows);
    for (uint64_t y = 0; y < rows; ++y) {
        regions[y] = {sourceStart + y * sourceStride, destinationStart + y * destinationStride, rowBytes};
    }
    vkCmdCopyBuffer(cb, source, destination, static_cast<uint32_t>(regions.size()), regions.data());
}

}  // namespace

Status BlitCommandEncoder::copyFromBuffer(const std::shared_ptr<Buffer>& source, uint64_t sourceOffset,
                                          const std::shared_ptr<Buffer>& destination, uint64_t destinationOffset,
                                          uint64_t size)
{
    if (ended_) return endedError();
    VkBufferCopy region{sourceOffset, destinationOffset, size};
    vkCmdCopyBuffer(commandBuffer_->vk(), source->vk(), destination->vk(), 1, &region);
    commandBuffer_->retain(source);
    commandBuffer_->retain(destination);
    return success();
}

Status BlitCommandEncoder::copyFromTexture(const std::shared_ptr<Texture>& texture,
                                           const std::shared_ptr<Buffer>& buffer, uint64_t destinationOffset,
                                           uint64_t bytesPerRow)
{
    if (ended_) return endedError();
    CommandBuffer& commandBuffer = *commandBuffer_;
    auto plan = planBufferCopy(commandBuffer, *texture, *buffer, destinationOffset, bytesPerRow);
    if (!plan) return plan.error();
    const BufferLayout& layout = plan->layout;
    const StagingRing::Slice& staging = plan->staging;
    VkCommandBuffer cb = commandBuffer.vk();

    // Earlier GPU work may still read or write the destination.
    bufferBarrier(cb, buffer->vk(), {VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT, VK_ACCESS_2_MEMORY_WRITE_BIT},
                  {VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT});
    texture->transition(commandBuffer, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, VK_PIPELINE_STAGE_2_COPY_BIT,
                        VK_ACCESS_2_TRANSFER_READ_BIT);
    if (layout.direct) {
        const VkBufferImageCopy region = levelZeroCopy(*texture, layout, destinationOffset, layout.stride);
        vkCmdCopyImageToBuffer(cb, texture->image(), VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, buffer->vk(), 1, &region);
    } else {
        const VkBufferImageCopy region = levelZeroCopy(*texture, layout, staging.offset, layout.rowBytes);
        vkCmdCopyImageToBuffer(cb, texture->image(), VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, staging.buffer->vk(), 1,
                               &region);
        bufferBarrier(cb, staging.buffer->vk(), {VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT},
                      {VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_READ_BIT});
        copyRows(cb, staging.buffer->vk(), buffer->vk(), texture->height(), layout.rowBytes, staging.offset,
                 layout.rowBytes, destinationOffset, layout.stride);
        commandBuffer.retain(staging.lease);
    }
    // Completion alone does not make device writes visible to the host.
    bufferBarrier(cb, buffer->vk(), {VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT},
                  {VK_PIPELINE_STAGE_2_HOST_BIT | VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT,
                   VK_ACCESS_2_HOST_READ_BIT | VK_ACCESS_2_MEMORY_READ_BIT | VK_ACCESS_2_MEMORY_WRITE_BIT});
    texture->rest(commandBuffer);
    commandBuffer.retain(texture);
    commandBuffer.retain(buffer);
    return success();
}

Status BlitCommandEncoder::copyFromBuffer(const std::shared_ptr<Buffer>& buffer, uint64_t sourceOffset,
                                          uint64_t bytesPerRow, const std::shared_ptr<Texture>& texture)
{
    if (ended_) return endedError();
    CommandBuffer& commandBuffer = *commandBuffer_;
    auto plan = planBufferCopy(commandBuffer, *texture, *buffer, sourceOffset, bytesPerRow);
    if (!plan) return plan.error();
    const BufferLayout& layout = plan->layout;
    const StagingRing::Slice& staging = plan->staging;
    VkCommandBuffer cb = commandBuffer.vk();
    // Earlier GPU work may have written the source.
    bufferBarrier(cb, buffer->vk(), {VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT, VK_ACCESS_2_MEMORY_WRITE_BIT},
                  {VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_READ_BIT});
    if (staging.buffer) {
        copyRows(cb, buffer->vk(), staging.buffer->vk(), texture->height(), layout.rowBytes, sourceOffset,
                 layout.stride, staging.offset, layout.rowBytes);
        bufferBarrier(cb, staging.buffer->vk(), {VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT},
                      {VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_READ_BIT});
        commandBuffer.retain(staging.lease);
    }
    texture->transition(commandBuffer, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_PIPELINE_STAGE_2_COPY_BIT,
                        VK_ACCESS_2_TRANSFER_WRITE_BIT);
    const VkBufferImageCopy region = layout.direct
                                         ? levelZeroCopy(*texture, layout, sourceOffset, layout.stride)
                                         : levelZeroCopy(*texture, layout, staging.offset, layout.rowBytes);
    vkCmdCopyBufferToImage(cb, layout.direct ? buffer->vk() : staging.buffer->vk(), texture->image(),
                           VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
    texture->rest(commandBuffer);
    commandBuffer.retain(texture);
    commandBuffer.retain(buffer);
    return success();
}

Status BlitCommandEncoder::generateMipmaps(const std::shared_ptr<Texture>& texture)
{
    if (ended_) return endedError();
    const uint32_t levels = texture->mipmapLevelCount();
    if (levels == 1) return success();
    CommandBuffer& commandBuffer = *commandBuffer_;
    const VkFormatFeatureFlags needed = VK_FORMAT_FEATURE_BLIT_SRC_BIT | VK_FORMAT_FEATURE_BLIT_DST_BIT;
    if (texture->sampleCount() != 1 || texture->aspect() != VK_IMAGE_ASPECT_COLOR_BIT ||
        (commandBuffer.device()->formatProperties(texture->format()).optimalTilingFeatures & needed) != needed) {
        return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "the device cannot generate mipmaps for this texture"};
    }

    VkCommandBuffer cb = commandBuffer.vk();
    texture->transition(commandBuffer, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_PIPELINE_STAGE_2_BLIT_BIT,
                        VK_ACCESS_2_TRANSFER_WRITE_BIT);
    auto levelToSource = [&](uint32_t level) {
        imageBarrier(cb, {texture->image(), VK_IMAGE_ASPECT_COLOR_BIT, level, 1}, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                     VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, {VK_PIPELINE_STAGE_2_BLIT_BIT, VK_ACCESS_2_TRANSFER_WRITE_BIT},
                     {VK_PIPELINE_STAGE_2_BLIT_BIT, VK_ACCESS_2_TRANSFER_READ_BIT});
    };
    const VkFilter filter = texture->supportsLinearFiltering() ? VK_FILTER_LINEAR : VK_FILTER_NEAREST;
    for (uint32_t level = 1; level < levels; ++level) {
        levelToSource(level - 1);
        VkImageBlit blit{};
        blit.srcSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, level - 1, 0, 1};
        blit.srcOffsets[1] = {static_cast<int32_t>(std::max(1u, texture->width() >> (level - 1))),
                              static_cast<int32_t>(std::max(1u, texture->height() >> (level - 1))), 1};
        blit.dstSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, level, 0, 1};
        blit.dstOffsets[1] = {static_cast<int32_t>(std::max(1u, texture->width() >> level)),
                              static_cast<int32_t>(std::max(1u, texture->height() >> level)), 1};
        vkCmdBlitImage(cb, texture->image(), VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, texture->image(),
                       VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &blit, filter);
    }
    levelToSource(levels - 1);
    // Every level is a blit source now; the last barrier made the writes available.
    texture->setTrackedState(VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, VK_PIPELINE_STAGE_2_BLIT_BIT,
                             VK_ACCESS_2_TRANSFER_READ_BIT);
    texture->rest(commandBuffer);
    commandBuffer.retain(texture);
    return success();
}

}  // namespace quendal::gpu
