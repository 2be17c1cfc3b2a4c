#include "platform/gpu/buffer.hpp"

#include <cstring>

#include "platform/gpu/device.hpp"

namespace quendal::gpu {

Result<std::shared_ptr<Buffer>> Buffer::create(std::shared_ptr<Device> device, uint64_t length)
{
    std::shared_ptr<Buffer> buffer(new Buffer(device));
    VkDevice vk = device->vk();

    // Every use the frame encoders may bind a buffer to.
    VkBufferCreateInfo info{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    info.size = length;
    info.usage = VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT |
                 VK_BUFFER_USAGE_VERTEX_BUFFER_BIT | VK_BUFFER_USAGE_INDEX_BUFFER_BIT |
                 VK_BUFFER_USAGE_INDIRECT_BUFFER_BIT | VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT |
                 VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    if (VkResult r = vkCreateBuffer(vk, &info, nullptr, &buffer->buffer_); r != VK_SUCCESS) {
        buffer->buffer_ = VK_NULL_HANDLE;
        return vkError(r, "vkCreateBuffer");
    }

    VkMemoryRequirements req;
    vkGetBufferMemoryRequirements(vk, buffer->buffer_, &req);
    const VkMemoryPropertyFlags shared = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
    // Cached host memory keeps CPU reads of the contents fast.
    const uint32_t type = device->findMemoryType(req.memoryTypeBits, shared, VK_MEMORY_PROPERTY_HOST_CACHED_BIT);
    if (type == UINT32_MAX) return Error{VK_ERROR_FEATURE_NOT_PRESENT, "no host-visible coherent memory type"};
    if (req.size > device->heapSize(type)) return Error{VK_ERROR_OUT_OF_DEVICE_MEMORY, "buffer larger than its memory heap"};

    VkMemoryAllocateInfo alloc{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
    alloc.allocationSize = req.size;
    alloc.memoryTypeIndex = type;
    if (VkResult r = vkAllocateMemory(vk, &alloc, nullptr, &buffer->memory_); r != VK_SUCCESS) {
        buffer->memory_ = VK_NULL_HANDLE;
        return vkError(r, "vkAllocateMemory");
    }
    if (VkResult r = vkBindBufferMemory(vk, buffer->buffer_, buffer->memory_, 0); r != VK_SUCCESS) {
        return vkError(r, "vkBindBufferMemory");
    }
    if (VkResult r = vkMapMemory(vk, buffer->memory_, 0, VK_WHOLE_SIZE, 0, &buffer->contents_); r != VK_SUCCESS) {
        buffer->contents_ = nullptr;
        return vkError(r, "vkMapMemory");
    }
    // Drivers may hand back memory that held earlier data; a new buffer reads
    // as zeros, as a fresh allocation does on the contract's platform.
    std::memset(buffer->contents_, 0, length);
    buffer->length_ = length;
    return buffer;
}

Buffer::~Buffer()
{
    VkDevice vk = device_->vk();
    if (contents_) vkUnmapMemory(vk, memory_);
    if (buffer_) vkDestroyBuffer(vk, buffer_, nullptr);
    if (memory_) vkFreeMemory(vk, memory_, nullptr);
}

}  // namespace quendal::gpu
