#include "platform/gpu/device.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/texture.hpp"
#include "platform/gpu/vulkan_enums.hpp"

namespace quendal::gpu {

namespace {

std::atomic<uint64_t> gValidationMessages{0};

VKAPI_ATTR VkBool32 VKAPI_CALL onValidationMessage(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                                   VkDebugUtilsMessageTypeFlagsEXT types,
                                                   const VkDebugUtilsMessengerCallbackDataEXT* data, void*)
{
    gValidationMessages.fetch_add(1, std::memory_order_relaxed);
    const char* text = data && data->pMessage ? data->pMessage : "(no message)";
    std::fprintf(stderr, "quendal: Vulkan validation: %s\n", text);
    if (const char* log = std::getenv("QUENDAL_VK_VALIDATION_LOG"); log && *log) {
        if (FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%s\n", text);
            std::fclose(f);
        }
    }
    return VK_FALSE;
}

bool envFlag(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value && std::strcmp(value, "0") != 0;
}

bool hasInstanceLayer(const char* name)
{
    uint32_t count = 0;
    vkEnumerateInstanceLayerProperties(&count, nullptr);
    std::vector<VkLayerProperties> layers(count);
    vkEnumerateInstanceLayerProperties(&count, layers.data());
    return std::any_of(layers.begin(), layers.end(), [&](const auto& l) { return std::strcmp(l.layerName, name) == 0; });
}

std::vector<std::string> instanceExtensions()
{
    uint32_t count = 0;
    vkEnumerateInstanceExtensionProperties(nullptr, &count, nullptr);
    std::vector<VkExtensionProperties> props(count);
    vkEnumerateInstanceExtensionProperties(nullptr, &count, props.data());
    std::vector<std::string> names;
    for (const auto& p : props) names.emplace_back(p.extensionName);
    return names;
}

std::vector<std::string> deviceExtensions(VkPhysicalDevice physical)
{
    uint32_t count = 0;
    vkEnumerateDeviceExtensionProperties(physical, nullptr, &count, nullptr);
    std::vector<VkExtensionProperties> props(count);
    vkEnumerateDeviceExtensionProperties(physical, nullptr, &count, props.data());
    std::vector<std::string> names;
    for (const auto& p : props) names.emplace_back(p.extensionName);
    return names;
}

bool contains(const std::vector<std::string>& names, const char* name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// robustBufferAccess keeps out-of-range shader accesses from reaching memory
// that is not theirs; the rest are enabled where the device has them.
void enableOptionalFeatures(const VkPhysicalDeviceFeatures& h, VkPhysicalDeviceFeatures& f)
{
    f.robustBufferAccess = h.robustBufferAccess;
    f.fragmentStoresAndAtomics = h.fragmentStoresAndAtomics;
    f.vertexPipelineStoresAndAtomics = h.vertexPipelineStoresAndAtomics;
    f.shaderStorageImageWriteWithoutFormat = h.shaderStorageImageWriteWithoutFormat;
    f.shaderStorageImageReadWithoutFormat = h.shaderStorageImageReadWithoutFormat;
    f.multiDrawIndirect = h.multiDrawIndirect;
    f.drawIndirectFirstInstance = h.drawIndirectFirstInstance;
    f.largePoints = h.largePoints;
    f.wideLines = h.wideLines;
    f.independentBlend = h.independentBlend;
    f.shaderInt16 = h.shaderInt16;
    f.shaderInt64 = h.shaderInt64;
    f.shaderFloat64 = h.shaderFloat64;
    f.geometryShader = h.geometryShader;  // gl_PrimitiveID and gl_Layer in fragment shaders
    f.shaderClipDistance = h.shaderClipDistance;
    f.shaderCullDistance = h.shaderCullDistance;
    f.sampleRateShading = h.sampleRateShading;
    f.imageCubeArray = h.imageCubeArray;
    f.shaderImageGatherExtended = h.shaderImageGatherExtended;
    f.shaderStorageImageExtendedFormats = h.shaderStorageImageExtendedFormats;
    f.shaderStorageImageMultisample = h.shaderStorageImageMultisample;
}

int32_t graphicsComputeFamily(VkPhysicalDevice physical)
{
    uint32_t count = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(physical, &count, nullptr);
    std::vector<VkQueueFamilyProperties> families(count);
    vkGetPhysicalDeviceQueueFamilyProperties(physical, &count, families.data());
    const VkQueueFlags needed = VK_QUEUE_GRAPHICS_BIT | VK_QUEUE_COMPUTE_BIT;
    for (uint32_t i = 0; i < count; ++i) {
        if ((families[i].queueFlags & needed) == needed) return static_cast<int32_t>(i);
    }
    return -1;
}

bool usable(VkPhysicalDevice physical)
{
    VkPhysicalDeviceProperties props;
    vkGetPhysicalDeviceProperties(physical, &props);
    return props.apiVersion >= VK_API_VERSION_1_3 &&
           contains(deviceExtensions(physical), VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME) &&
           graphicsComputeFamily(physical) >= 0;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// QUENDAL_VK_DEVICE: an index into the enumeration, or part of a device's name.
Result<VkPhysicalDevice> choosePhysicalDevice(VkInstance instance)
{
    uint32_t count = 0;
    vkEnumeratePhysicalDevices(instance, &count, nullptr);
    std::vector<VkPhysicalDevice> all(count);
    if (count) vkEnumeratePhysicalDevices(instance, &count, all.data());
    if (all.empty()) return Error{VK_ERROR_INITIALIZATION_FAILED, "no Vulkan device found"};

    if (const char* pick = std::getenv("QUENDAL_VK_DEVICE"); pick && *pick) {
        char* end = nullptr;
        const long index = std::strtol(pick, &end, 10);
        for (size_t i = 0; i < all.size(); ++i) {
            VkPhysicalDeviceProperties props;
            vkGetPhysicalDeviceProperties(all[i], &props);
            const bool match = (*end == '\0') ? static_cast<long>(i) == index
                                              : lower(props.deviceName).find(lower(pick)) != std::string::npos;
            if (match) {
                if (!usable(all[i])) {
                    return Error{VK_ERROR_FEATURE_NOT_PRESENT,
                                 std::string("QUENDAL_VK_DEVICE names ") + props.deviceName +
                                     ", which lacks Vulkan 1.3 or push descriptors"};
                }
                return all[i];
            }
        }
        return Error{VK_ERROR_INITIALIZATION_FAILED, std::string("no Vulkan device matches QUENDAL_VK_DEVICE=") + pick};
    }

    VkPhysicalDevice best = VK_NULL_HANDLE;
    int bestRank = -1;
    for (VkPhysicalDevice physical : all) {
        if (!usable(physical)) continue;
        VkPhysicalDeviceProperties props;
        vkGetPhysicalDeviceProperties(physical, &props);
        const int rank = props.deviceType == VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU     ? 3
                         : props.deviceType == VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU ? 2
                                                                                      : 1;
        if (rank > bestRank) {
            best = physical;
            bestRank = rank;
        }
    }
    if (!best) return Error{VK_ERROR_FEATURE_NOT_PRESENT, "no Vulkan 1.3 device with push descriptors found"};
    return best;
}

}  // namespace

uint64_t validationMessageCount()
{
    return gValidationMessages.load(std::memory_order_relaxed);
}

Result<std::shared_ptr<Device>> Device::createSystemDefault()
{
    std::shared_ptr<Device> device(new Device());
    if (auto made = device->createInstance(); !made) return made.error();
    if (auto adopted = device->adoptPhysicalDevice(); !adopted) return adopted.error();
    if (auto made = device->createLogicalDevice(); !made) return made.error();
    return device;
}

Status Device::createInstance()
{
    const bool validation = envFlag("QUENDAL_VK_VALIDATION") && hasInstanceLayer("VK_LAYER_KHRONOS_validation");
    const auto available = instanceExtensions();
    std::vector<const char*> extensions;
    if (contains(available, VK_KHR_SURFACE_EXTENSION_NAME) && contains(available, "VK_KHR_xlib_surface")) {
        extensions.push_back(VK_KHR_SURFACE_EXTENSION_NAME);
        extensions.push_back("VK_KHR_xlib_surface");
        xlibSurface_ = true;
    }
    if (validation) extensions.push_back(VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
    const char* layers[] = {"VK_LAYER_KHRONOS_validation"};

    VkDebugUtilsMessengerCreateInfoEXT messengerInfo{VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT};
    messengerInfo.messageSeverity =
        VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
    messengerInfo.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT |
                                VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                                VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
    messengerInfo.pfnUserCallback = onValidationMessage;

    VkApplicationInfo app{VK_STRUCTURE_TYPE_APPLICATION_INFO};
    app.pApplicationName = "quendal";
    app.pEngineName = "quendal";
    app.apiVersion = VK_API_VERSION_1_3;
    VkInstanceCreateInfo instanceInfo{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
    instanceInfo.pApplicationInfo = &app;
    instanceInfo.enabledExtensionCount = static_cast<uint32_t>(extensions.size());
    instanceInfo.ppEnabledExtensionNames = extensions.data();
    if (validation) {
        instanceInfo.enabledLayerCount = 1;
        instanceInfo.ppEnabledLayerNames = layers;
        instanceInfo.pNext = &messengerInfo;
    }
    if (VkResult r = vkCreateInstance(&instanceInfo, nullptr, &instance_); r != VK_SUCCESS) {
        instance_ = VK_NULL_HANDLE;
        return vkError(r, "vkCreateInstance");
    }
    if (validation) {
        auto create = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
            vkGetInstanceProcAddr(instance_, "vkCreateDebugUtilsMessengerEXT"));
        if (create) create(instance_, &messengerInfo, nullptr, &messenger_);
    }
    return success();
}

Status Device::adoptPhysicalDevice()
{
    auto physical = choosePhysicalDevice(instance_);
    if (!physical) return physical.error();
    physical_ = *physical;
    queueFamily_ = static_cast<uint32_t>(graphicsComputeFamily(physical_));
    vkGetPhysicalDeviceProperties(physical_, &properties_);
    vkGetPhysicalDeviceMemoryProperties(physical_, &memory_);
    name_ = properties_.deviceName;

    VkPhysicalDeviceVulkan13Properties props13{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_PROPERTIES};
    VkPhysicalDeviceProperties2 props2{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2, &props13};
    vkGetPhysicalDeviceProperties2(physical_, &props2);
    maxBufferSize_ = props13.maxBufferSize;
    return success();
}

Status Device::createLogicalDevice()
{
    VkPhysicalDeviceVulkan13Features have13{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES};
    VkPhysicalDeviceVulkan12Features have12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES, &have13};
    VkPhysicalDeviceFeatures2 have{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2, &have12};
    vkGetPhysicalDeviceFeatures2(physical_, &have);
    if (!have13.dynamicRendering || !have13.synchronization2 || !have12.timelineSemaphore) {
        return Error{VK_ERROR_FEATURE_NOT_PRESENT, name_ + " lacks dynamic rendering or synchronization2"};
    }

    enableOptionalFeatures(have.features, enabledFeatures_);

    VkPhysicalDeviceVulkan13Features enable13{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES};
    enable13.dynamicRendering = VK_TRUE;
    enable13.synchronization2 = VK_TRUE;
    enable13.maintenance4 = have13.maintenance4;
    VkPhysicalDeviceVulkan12Features enable12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES, &enable13};
    enable12.timelineSemaphore = VK_TRUE;
    enable12.scalarBlockLayout = have12.scalarBlockLayout;
    enable12.shaderInt8 = have12.shaderInt8;
    enable12.storageBuffer8BitAccess = have12.storageBuffer8BitAccess;
    enable12.uniformAndStorageBuffer8BitAccess = have12.uniformAndStorageBuffer8BitAccess;
    enable12.shaderFloat16 = have12.shaderFloat16;
    VkPhysicalDeviceFeatures2 enable{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2, &enable12};
    enable.features = enabledFeatures_;

    const auto deviceExts = deviceExtensions(physical_);
    std::vector<const char*> enabledExts{VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME};
    if (xlibSurface_ && contains(deviceExts, VK_KHR_SWAPCHAIN_EXTENSION_NAME)) {
        enabledExts.push_back(VK_KHR_SWAPCHAIN_EXTENSION_NAME);
        swapchain_ = true;
    }

    const float priority = 1.0f;
    VkDeviceQueueCreateInfo queueInfo{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
    queueInfo.queueFamilyIndex = queueFamily_;
    queueInfo.queueCount = 1;
    queueInfo.pQueuePriorities = &priority;
    VkDeviceCreateInfo deviceInfo{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO, &enable};
    deviceInfo.queueCreateInfoCount = 1;
    deviceInfo.pQueueCreateInfos = &queueInfo;
    deviceInfo.enabledExtensionCount = static_cast<uint32_t>(enabledExts.size());
    deviceInfo.ppEnabledExtensionNames = enabledExts.data();
    if (VkResult r = vkCreateDevice(physical_, &deviceInfo, nullptr, &device_); r != VK_SUCCESS) {
        device_ = VK_NULL_HANDLE;
        return vkError(r, "vkCreateDevice");
    }
    vkGetDeviceQueue(device_, queueFamily_, 0, &queue_);
    functions_.cmdPushDescriptorSet = reinterpret_cast<PFN_vkCmdPushDescriptorSetKHR>(
        vkGetDeviceProcAddr(device_, "vkCmdPushDescriptorSetKHR"));
    return success();
}

Device::~Device()
{
    if (device_) {
        vkDeviceWaitIdle(device_);
        standIns_.reset();
        if (defaultSampler_) vkDestroySampler(device_, defaultSampler_, nullptr);
        vkDestroyDevice(device_, nullptr);
    }
    if (messenger_) {
        auto destroy = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
            vkGetInstanceProcAddr(instance_, "vkDestroyDebugUtilsMessengerEXT"));
        if (destroy) destroy(instance_, messenger_, nullptr);
    }
    if (instance_) vkDestroyInstance(instance_, nullptr);
}

Result<std::shared_ptr<CommandQueue>> Device::newCommandQueue()
{
    return CommandQueue::create(shared_from_this());
}

SampleCountMask Device::supportedSampleCounts() const
{
    const auto& l = properties_.limits;
    return sampleCountMask(l.framebufferColorSampleCounts & l.framebufferDepthSampleCounts &
                           l.framebufferStencilSampleCounts);
}

VkFormatProperties Device::formatProperties(VkFormat format) const
{
    VkFormatProperties props{};
    vkGetPhysicalDeviceFormatProperties(physical_, format, &props);
    return props;
}

uint32_t Device::findMemoryType(uint32_t typeBits, VkMemoryPropertyFlags required,
                                VkMemoryPropertyFlags preferred) const
{
    uint32_t fallback = UINT32_MAX;
    for (uint32_t i = 0; i < memory_.memoryTypeCount; ++i) {
        if (!(typeBits & (1u << i))) continue;
        const VkMemoryPropertyFlags flags = memory_.memoryTypes[i].propertyFlags;
        if ((flags & required) != required) continue;
        if ((flags & preferred) == preferred) return i;
        if (fallback == UINT32_MAX) fallback = i;
    }
    return fallback;
}

VkDeviceSize Device::heapSize(uint32_t memoryType) const
{
    return memory_.memoryHeaps[memory_.memoryTypes[memoryType].heapIndex].size;
}

Result<std::shared_ptr<Buffer>> Device::newBuffer(uint64_t length)
{
    if (length == 0) return Error{VK_ERROR_INITIALIZATION_FAILED, "buffer length must be at least 1"};
    // Sizes the driver cannot honour are refused here: past maxBufferSize or the
    // heap, Vulkan calls are invalid rather than failing cleanly.
    if (maxBufferSize_ && length > maxBufferSize_) {
        return Error{VK_ERROR_OUT_OF_DEVICE_MEMORY, "buffer length exceeds the device's maximum buffer size"};
    }
    return Buffer::create(shared_from_this(), length);
}

Result<std::shared_ptr<Texture>> Device::newTexture(const TextureDescriptor& descriptor)
{
    return Texture::create(shared_from_this(), descriptor);
}

Result<const StandIns*> Device::standIns(CommandQueue& queue)
{
    std::lock_guard lock(standInsMutex_);
    if (standIns_) return standIns_.get();
    // The device owns its stand-ins: they hold it without keeping it alive.
    const std::shared_ptr<Device> self(std::shared_ptr<Device>(), this);
    auto made = std::make_unique<StandIns>();
    constexpr uint64_t kBufferLength = 65536;  // any uniform block; robust access bounds the rest
    auto buffer = Buffer::create(self, kBufferLength);
    if (!buffer) return buffer.error();
    made->buffer = buffer.value();
    std::memset(made->buffer->contents(), 0, kBufferLength);
    TextureDescriptor d;
    d.pixelFormat = PixelFormat::RGBA8Unorm;
    d.usage = TextureUsageShaderRead;
    auto sampled = Texture::create(self, d);
    if (!sampled) return sampled.error();
    made->sampled = sampled.value();
    d.usage = TextureUsageShaderWrite;
    if (auto storage = Texture::create(self, d); storage && storage.value()->supportsShaderWrite()) {
        made->storage = storage.value();
    }
    auto cb = queue.commandBuffer();
    if (!cb) return cb.error();
    for (const auto& texture : {made->sampled, made->storage}) {
        if (!texture) continue;
        texture->transition(*cb.value(), VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_PIPELINE_STAGE_2_CLEAR_BIT,
                            VK_ACCESS_2_TRANSFER_WRITE_BIT);
        const VkClearColorValue zero{};
        const VkImageSubresourceRange range{VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        vkCmdClearColorImage(cb.value()->vk(), texture->image(), VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &zero, 1,
                             &range);
        texture->rest(*cb.value());
    }
    cb.value()->commit();
    if (auto executed = cb.value()->waitUntilExecuted(); !executed) return executed.error();
    standIns_ = std::move(made);
    return standIns_.get();
}

DeviceStatistics Device::statistics() const
{
    std::lock_guard lock(statisticsMutex_);
    return statistics_;
}

void Device::noteCreated(uint64_t DeviceStatistics::*counter)
{
    std::lock_guard lock(statisticsMutex_);
    statistics_.*counter += 1;
}

VkSampler Device::defaultSampler()
{
    std::lock_guard lock(samplerMutex_);
    if (defaultSampler_) return defaultSampler_;
    VkSamplerCreateInfo info{VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO};
    info.magFilter = VK_FILTER_LINEAR;
    info.minFilter = VK_FILTER_LINEAR;
    info.mipmapMode = VK_SAMPLER_MIPMAP_MODE_LINEAR;
    info.addressModeU = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
    info.addressModeV = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
    info.addressModeW = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
    info.minLod = 0.0f;
    info.maxLod = VK_LOD_CLAMP_NONE;
    info.borderColor = VK_BORDER_COLOR_FLOAT_TRANSPARENT_BLACK;
    if (vkCreateSampler(device_, &info, nullptr, &defaultSampler_) != VK_SUCCESS) defaultSampler_ = VK_NULL_HANDLE;
    return defaultSampler_;
}

}  // namespace quendal::gpu
