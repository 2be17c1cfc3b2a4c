// The GPU device: a Metal-shaped facade over one Vulkan instance and logical
// device. Thread-safe: every member may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <vulkan/vulkan.h>

#include "platform/gpu/enums.hpp"
#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class Buffer;
class CommandQueue;
class Texture;
struct TextureDescriptor;

// How many of the objects that every frame needs the device has made, to show
// that they are recycled rather than made per frame.
struct DeviceStatistics {
    uint64_t commandPools = 0;
    uint64_t commandBuffers = 0;
    uint64_t fences = 0;
    uint64_t stagingBuffers = 0;  // buffers the staging rings grew into
};

// Zero-filled resources bound in place of those nobody set, so that nothing
// undefined reaches the GPU: a buffer, a texture resting in shader-read layout
// for sampling, and one resting in general layout for storage (null where the
// device cannot store to RGBA8).
struct StandIns {
    std::shared_ptr<Buffer> buffer;
    std::shared_ptr<Texture> sampled;
    std::shared_ptr<Texture> storage;
};

// Device extension entry points that the loader does not export.
struct DeviceFunctions {
    PFN_vkCmdPushDescriptorSetKHR cmdPushDescriptorSet = nullptr;
};

class Device : public std::enable_shared_from_this<Device> {
public:
    // The counterpart of MTLCreateSystemDefaultDevice: the first discrete or
    // integrated GPU, else any Vulkan 1.3 device with push descriptors (lavapipe).
    // QUENDAL_VK_DEVICE picks one by index or by a part of its name;
    // QUENDAL_VK_VALIDATION=1 turns the Khronos validation layer on.
    static Result<std::shared_ptr<Device>> createSystemDefault();

    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    Result<std::shared_ptr<CommandQueue>> newCommandQueue();

    // Host-visible, host-coherent storage mapped for the buffer's whole life
    // (the shared storage mode). length must be at least 1.
    Result<std::shared_ptr<Buffer>> newBuffer(uint64_t length);
    Result<std::shared_ptr<Texture>> newTexture(const TextureDescriptor& descriptor);

    // The device's stand-ins, made once on first use (cleared on queue, which
    // waits for that once) and shared by every encoder.
    Result<const StandIns*> standIns(CommandQueue& queue);

    DeviceStatistics statistics() const;
    void noteCreated(uint64_t DeviceStatistics::*counter);

    // The sampler fragment textures are bound with: linear filtering, clamped to
    // the edge. Made on first use; VK_NULL_HANDLE if that failed (tried again
    // on the next call).
    VkSampler defaultSampler();

    const std::string& name() const { return name_; }
    VkInstance instance() const { return instance_; }
    VkPhysicalDevice physicalDevice() const { return physical_; }
    VkDevice vk() const { return device_; }
    uint32_t queueFamily() const { return queueFamily_; }
    const VkPhysicalDeviceProperties& properties() const { return properties_; }
    const VkPhysicalDeviceFeatures& enabledFeatures() const { return enabledFeatures_; }
    const DeviceFunctions& functions() const { return functions_; }
    bool supportsSwapchain() const { return swapchain_; }
    bool supportsXlibSurface() const { return xlibSurface_; }
    // Sample counts usable for colour and depth/stencil attachments alike.
    SampleCountMask supportedSampleCounts() const;
    // The largest width or height a texture may have.
    uint32_t maxTextureSide() const { return properties_.limits.maxImageDimension2D; }
    VkFormatProperties formatProperties(VkFormat format) const;

    // The one hardware queue. Submissions and presents must hold queueMutex().
    VkQueue queue() const { return queue_; }
    std::mutex& queueMutex() { return queueMutex_; }

    // Index of a memory type allowed by typeBits with all of required, preferring
    // one that also has preferred; UINT32_MAX when none fits.
    uint32_t findMemoryType(uint32_t typeBits, VkMemoryPropertyFlags required,
                            VkMemoryPropertyFlags preferred = 0) const;
    VkDeviceSize heapSize(uint32_t memoryType) const;

private:
    Device() = default;
    // The steps of createSystemDefault, in order.
    Status createInstance();
    Status adoptPhysicalDevice();
    Status createLogicalDevice();

    VkInstance instance_ = VK_NULL_HANDLE;
    VkDebugUtilsMessengerEXT messenger_ = VK_NULL_HANDLE;
    VkPhysicalDevice physical_ = VK_NULL_HANDLE;
    VkDevice device_ = VK_NULL_HANDLE;
    uint32_t queueFamily_ = 0;
    VkPhysicalDeviceProperties properties_{};
    VkPhysicalDeviceMemoryProperties memory_{};
    VkPhysicalDeviceFeatures enabledFeatures_{};
    VkDeviceSize maxBufferSize_ = 0;
    DeviceFunctions functions_;
    bool swapchain_ = false;
    bool xlibSurface_ = false;
    VkQueue queue_ = VK_NULL_HANDLE;
    std::mutex queueMutex_;
    std::mutex samplerMutex_;
    VkSampler defaultSampler_ = VK_NULL_HANDLE;
    std::mutex standInsMutex_;
    std::unique_ptr<StandIns> standIns_;
    mutable std::mutex statisticsMutex_;
    DeviceStatistics statistics_;
    std::string name_;
};

// Validation messages seen by any device of this process (QUENDAL_VK_VALIDATION=1).
// Each message is also written to standard error and, when QUENDAL_VK_VALIDATION_LOG
// names a file, appended to it so that a test harness can fail on it.
uint64_t validationMessageCount();

}  // namespace quendal::gpu
