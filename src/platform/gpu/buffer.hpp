// A GPU buffer in storage shared by the CPU and the GPU: contents() is a plain
// pointer valid for the buffer's whole life. The buffer keeps its device alive.
#pragma once

#include <cstdint>
#include <memory>

#include <vulkan/vulkan.h>

#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class Device;

class Buffer {
public:
    static Result<std::shared_ptr<Buffer>> create(std::shared_ptr<Device> device, uint64_t length);
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    uint64_t length() const { return length_; }
    void* contents() const { return contents_; }
    VkBuffer vk() const { return buffer_; }
    const std::shared_ptr<Device>& device() const { return device_; }

private:
    explicit Buffer(std::shared_ptr<Device> device) : device_(std::move(device)) {}

    std::shared_ptr<Device> device_;
    VkBuffer buffer_ = VK_NULL_HANDLE;
    VkDeviceMemory memory_ = VK_NULL_HANDLE;
    void* contents_ = nullptr;
    uint64_t length_ = 0;
};

}  // namespace quendal::gpu
