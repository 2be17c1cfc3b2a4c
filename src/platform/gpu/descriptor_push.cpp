#include "platform/gpu/descriptor_push.hpp"

#include <algorithm>

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/device.hpp"

namespace quendal::gpu {

namespace {

bool isBufferType(VkDescriptorType type)
{
    return type == VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER || type == VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
}

}  // namespace

Status DescriptorPush::resolve(const PipelineLayout& layout, const Device& device, const StandIns& standIns,
                               const FindBuffer& findBuffer, const CheckOffset& checkOffset,
                               const ResolveImage& resolveImage)
{
    const VkPhysicalDeviceLimits& limits = device.properties().limits;
    size_t bufferCount = 0;
    size_t imageCount = 0;
    for (const ResourceBinding& b : layout.bindings()) (isBufferType(b.type) ? bufferCount : imageCount) += b.count;
    // Reserved up front: the writes point into these.
    buffers_.clear();
    images_.clear();
    writes_.clear();
    buffers_.reserve(bufferCount);
    images_.reserve(imageCount);

    for (const ResourceBinding& b : layout.bindings()) {
        if (b.type == VK_DESCRIPTOR_TYPE_SAMPLER) continue;  // immutable: nothing to push
        VkWriteDescriptorSet write{VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
        write.dstBinding = b.pushBinding;
        write.descriptorCount = b.count;
        write.descriptorType = b.type;
        if (isBufferType(b.type)) {
            const bool uniform = b.type == VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
            const uint64_t maxRange = uniform ? limits.maxUniformBufferRange : limits.maxStorageBufferRange;
            const uint64_t alignment =
                uniform ? limits.minUniformBufferOffsetAlignment : limits.minStorageBufferOffsetAlignment;
            write.pBufferInfo = buffers_.data() + buffers_.size();
            for (uint32_t element = 0; element < b.count; ++element) {
                const uint32_t index = b.index + element;
                const BufferBinding* bound = findBuffer(b.space, index);
                if (!bound) {
                    buffers_.push_back({standIns.buffer->vk(), 0, std::min(standIns.buffer->length(), maxRange)});
                    continue;
                }
                if (auto refused = checkOffset(index, *bound, alignment, uniform)) return *refused;
                buffers_.push_back(
                    {bound->buffer->vk(), bound->offset, std::min(bound->buffer->length() - bound->offset, maxRange)});
            }
        } else {
            write.pImageInfo = images_.data() + images_.size();
            for (uint32_t element = 0; element < b.count; ++element) {
                auto image = resolveImage(b, b.index + element);
                if (!image) return image.error();
                images_.push_back(image.value());
            }
        }
        writes_.push_back(write);
    }
    return success();
}

void DescriptorPush::record(VkCommandBuffer commandBuffer, const Device& device, VkPipelineBindPoint bindPoint,
                            const PipelineLayout& layout) const
{
    if (writes_.empty()) return;
    device.functions().cmdPushDescriptorSet(commandBuffer, bindPoint, layout.vk(), kPushSet,
                                            static_cast<uint32_t>(writes_.size()), writes_.data());
}

}  // namespace quendal::gpu
