#include "platform/gpu/texture.hpp"

#include <algorithm>
#include <bit>

#include "platform/gpu/barriers.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/device.hpp"

namespace quendal::gpu {

namespace {

VkImageAspectFlags aspectOf(PixelFormat format)
{
    VkImageAspectFlags aspect = 0;
    if (hasDepth(format)) aspect |= VK_IMAGE_ASPECT_DEPTH_BIT;
    if (hasStencil(format)) aspect |= VK_IMAGE_ASPECT_STENCIL_BIT;
    return aspect ? aspect : VkImageAspectFlags{VK_IMAGE_ASPECT_COLOR_BIT};
}

// A sampled view may show one aspect only; depth is the one shaders read.
VkImageAspectFlags samplingAspectOf(VkImageAspectFlags aspect)
{
    return (aspect & VK_IMAGE_ASPECT_DEPTH_BIT) ? VkImageAspectFlags{VK_IMAGE_ASPECT_DEPTH_BIT} : aspect;
}

uint32_t fullMipChainLength(uint32_t width, uint32_t height)
{
    return static_cast<uint32_t>(std::bit_width(std::max(width, height)));
}

}  // namespace

namespace {

// What any device refuses: an empty image, a sample count that is no power of
// two, more levels than the size allows or levels on a multisample image.
Status checkShape(const TextureDescriptor& d)
{
    if (d.width == 0 || d.height == 0) return Error{VK_ERROR_INITIALIZATION_FAILED, "texture size must be at least 1 x 1"};
    if (d.sampleCount == 0 || !std::has_single_bit(d.sampleCount)) {
        return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "sample count must be a power of two"};
    }
    if (d.mipmapLevelCount == 0 || d.mipmapLevelCount > fullMipChainLength(d.width, d.height) ||
        (d.sampleCount > 1 && d.mipmapLevelCount > 1)) {
        return Error{VK_ERROR_INITIALIZATION_FAILED, "mipmap level count does not fit the texture"};
    }
    return success();
}

}  // namespace

Result<std::shared_ptr<Texture>> Texture::create(std::shared_ptr<Device> device, const TextureDescriptor& descriptor)
{
    std::shared_ptr<Texture> texture(new Texture(device));
    texture->descriptor_ = descriptor;
    texture->format_ = vkFormat(descriptor.pixelFormat);
    if (texture->format_ == VK_FORMAT_UNDEFINED) return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "unknown pixel format"};
    texture->aspect_ = aspectOf(descriptor.pixelFormat);
    if (auto fits = checkShape(descriptor); !fits) return fits.error();
    if (auto usage = texture->chooseUsage(); !usage) return usage.error();
    auto limits = texture->formatLimits();
    if (!limits) return limits.error();
    if (auto made = texture->createImage(limits.value()); !made) return made.error();
    if (auto made = texture->makeViews(); !made) return made.error();

    // Command buffers are recorded side by side and may be committed in any
    // order, or dropped unsubmitted; each use returns the texture to its
    // resting layout, so it must start there too: the first use records that
    // move into its queue's set-up step (see transition).
    const RestingState resting = texture->restingState();
    texture->placed_ = false;
    texture->setTrackedState(resting.layout, resting.stages, resting.access);
    return texture;
}

// The Vulkan usage the format allows for what the descriptor asks; shader
// read and write quietly drop out of the descriptor where the format lacks them.
Status Texture::chooseUsage()
{
    TextureDescriptor& d = descriptor_;
    const bool depthStencil = aspect_ != VK_IMAGE_ASPECT_COLOR_BIT;
    const VkFormatFeatureFlags features = device_->formatProperties(format_).optimalTilingFeatures;
    linearFilter_ = (features & VK_FORMAT_FEATURE_SAMPLED_IMAGE_FILTER_LINEAR_BIT) != 0;
    VkImageUsageFlags usage = 0;
    if (features & VK_FORMAT_FEATURE_TRANSFER_SRC_BIT) usage |= VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
    if (features & VK_FORMAT_FEATURE_TRANSFER_DST_BIT) usage |= VK_IMAGE_USAGE_TRANSFER_DST_BIT;
    if ((d.usage & TextureUsageShaderRead) && (features & VK_FORMAT_FEATURE_SAMPLED_IMAGE_BIT)) {
        usage |= VK_IMAGE_USAGE_SAMPLED_BIT;
    } else {
        d.usage &= ~uint32_t{TextureUsageShaderRead};
    }
    if ((d.usage & TextureUsageShaderWrite) && d.sampleCount == 1 && !depthStencil &&
        (features & VK_FORMAT_FEATURE_STORAGE_IMAGE_BIT)) {
        usage |= VK_IMAGE_USAGE_STORAGE_BIT;
    } else {
        d.usage &= ~uint32_t{TextureUsageShaderWrite};
    }
    if (d.usage & TextureUsageRenderTarget) {
        const VkFormatFeatureFlags needed =
            depthStencil ? VK_FORMAT_FEATURE_DEPTH_STENCIL_ATTACHMENT_BIT : VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BIT;
        if (!(features & needed)) return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "the device cannot render to this format"};
        usage |= depthStencil ? VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT : VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
    }
    if (!usage) return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "the device supports no use of this format"};
    vkUsage_ = usage;
    return success();
}

Result<VkImageFormatProperties> Texture::formatLimits()
{
    const TextureDescriptor& d = descriptor_;
    // Creating an image past these limits is invalid usage rather than a clean failure.
    VkImageFormatProperties limits{};
    if (VkResult r = vkGetPhysicalDeviceImageFormatProperties(device_->physicalDevice(), format_,
                                                              VK_IMAGE_TYPE_2D, VK_IMAGE_TILING_OPTIMAL, vkUsage_, 0,
                                                              &limits);
        r != VK_SUCCESS) {
        return vkError(r, "vkGetPhysicalDeviceImageFormatProperties");
    }
    if (d.width > limits.maxExtent.width || d.height > limits.maxExtent.height) {
        return Error{VK_ERROR_OUT_OF_DEVICE_MEMORY, "texture size exceeds the device's maximum image size"};
    }
    if (d.mipmapLevelCount > limits.maxMipLevels) {
        return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "mipmap level count exceeds the device's limit"};
    }
    if (!(limits.sampleCounts & d.sampleCount)) {
        return Error{VK_ERROR_FORMAT_NOT_SUPPORTED, "the device does not support this sample count for the format"};
    }
    return limits;
}

// The image and its memory, bound.
Status Texture::createImage(const VkImageFormatProperties& limits)
{
    const TextureDescriptor& d = descriptor_;
    VkImageCreateInfo info{VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO};
    info.imageType = VK_IMAGE_TYPE_2D;
    info.format = format_;
    info.extent = {d.width, d.height, 1};
    info.mipLevels = d.mipmapLevelCount;
    info.arrayLayers = 1;
    info.samples = static_cast<VkSampleCountFlagBits>(d.sampleCount);
    info.tiling = VK_IMAGE_TILING_OPTIMAL;
    info.usage = vkUsage_;
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    info.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    if (VkResult r = vkCreateImage(device_->vk(), &info, nullptr, &image_); r != VK_SUCCESS) {
        image_ = VK_NULL_HANDLE;
        return vkError(r, "vkCreateImage");
    }

    VkMemoryRequirements req;
    vkGetImageMemoryRequirements(device_->vk(), image_, &req);
    const uint32_t type = device_->findMemoryType(req.memoryTypeBits, 0, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
    if (type == UINT32_MAX) return Error{VK_ERROR_FEATURE_NOT_PRESENT, "no memory type for the texture"};
    if (req.size > device_->heapSize(type) || (limits.maxResourceSize && req.size > limits.maxResourceSize)) {
        return Error{VK_ERROR_OUT_OF_DEVICE_MEMORY, "texture larger than its memory heap"};
    }
    VkMemoryAllocateInfo alloc{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
    alloc.allocationSize = req.size;
    alloc.memoryTypeIndex = type;
    if (VkResult r = vkAllocateMemory(device_->vk(), &alloc, nullptr, &memory_); r != VK_SUCCESS) {
        memory_ = VK_NULL_HANDLE;
        return vkError(r, "vkAllocateMemory");
    }
    if (VkResult r = vkBindImageMemory(device_->vk(), image_, memory_, 0); r != VK_SUCCESS) {
        return vkError(r, "vkBindImageMemory");
    }
    return success();
}

Status Texture::makeViews()
{
    VkDevice vk = device_->vk();
    const TextureDescriptor& d = descriptor_;
    VkImageViewCreateInfo viewInfo{VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
    viewInfo.image = image_;
    viewInfo.viewType = VK_IMAGE_VIEW_TYPE_2D;
    viewInfo.format = format_;
    viewInfo.subresourceRange = {samplingAspectOf(aspect_), 0, d.mipmapLevelCount, 0, 1};
    if (VkResult r = vkCreateImageView(vk, &viewInfo, nullptr, &view_); r != VK_SUCCESS) {
        view_ = VK_NULL_HANDLE;
        return vkError(r, "vkCreateImageView");
    }
    // Attachments must name one level, and a depth/stencil attachment both aspects.
    if (d.mipmapLevelCount > 1 || samplingAspectOf(aspect_) != aspect_) {
        viewInfo.subresourceRange = {aspect_, 0, 1, 0, 1};
        if (VkResult r = vkCreateImageView(vk, &viewInfo, nullptr, &attachmentView_); r != VK_SUCCESS) {
            attachmentView_ = VK_NULL_HANDLE;
            return vkError(r, "vkCreateImageView");
        }
    } else {
        attachmentView_ = view_;
    }
    return success();
}

Result<std::shared_ptr<Texture>> Texture::wrap(std::shared_ptr<Device> device, VkImage image,
                                               const TextureDescriptor& descriptor, VkImageUsageFlags usage,
                                               VkImageLayout resting, std::shared_ptr<void> owner)
{
    std::shared_ptr<Texture> texture(new Texture(std::move(device)));
    texture->owner_ = std::move(owner);
    texture->ownsImage_ = false;
    texture->descriptor_ = descriptor;
    texture->image_ = image;
    texture->format_ = vkFormat(descriptor.pixelFormat);
    texture->aspect_ = aspectOf(descriptor.pixelFormat);
    texture->vkUsage_ = usage;
    texture->resting_ = resting;
    texture->linearFilter_ = (texture->device_->formatProperties(texture->format_).optimalTilingFeatures &
                              VK_FORMAT_FEATURE_SAMPLED_IMAGE_FILTER_LINEAR_BIT) != 0;
    if (auto made = texture->makeViews(); !made) return made.error();
    return texture;
}

std::shared_ptr<Texture> Texture::alias(std::shared_ptr<Texture> base, PixelFormat reported)
{
    std::shared_ptr<Texture> texture(new Texture(base->device_));
    texture->ownsImage_ = false;
    texture->ownsViews_ = false;
    texture->descriptor_ = base->descriptor_;
    texture->descriptor_.pixelFormat = reported;
    texture->image_ = base->image_;
    texture->view_ = base->view_;
    texture->attachmentView_ = base->attachmentView_;
    texture->format_ = base->format_;
    texture->aspect_ = base->aspect_;
    texture->vkUsage_ = base->vkUsage_;
    texture->resting_ = base->resting_;
    texture->linearFilter_ = base->linearFilter_;
    texture->base_ = std::move(base);
    return texture;
}

Texture::~Texture()
{
    VkDevice vk = device_->vk();
    if (ownsViews_) {
        if (attachmentView_ && attachmentView_ != view_) vkDestroyImageView(vk, attachmentView_, nullptr);
        if (view_) vkDestroyImageView(vk, view_, nullptr);
    }
    if (ownsImage_ && image_) vkDestroyImage(vk, image_, nullptr);
    if (memory_) vkFreeMemory(vk, memory_, nullptr);
}

VkImageLayout Texture::restingLayout() const
{
    if (resting_ != VK_IMAGE_LAYOUT_UNDEFINED) return resting_;
    if (vkUsage_ & VK_IMAGE_USAGE_SAMPLED_BIT) return VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
    if (vkUsage_ & (VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT)) {
        return VK_IMAGE_LAYOUT_ATTACHMENT_OPTIMAL;
    }
    return VK_IMAGE_LAYOUT_GENERAL;
}

VkImageLayout Texture::layout()
{
    if (base_) return base_->layout();
    std::lock_guard lock(layoutMutex_);
    return layout_;
}

void Texture::transition(CommandBuffer& commandBuffer, VkImageLayout layout, VkPipelineStageFlags2 stages,
                         VkAccessFlags2 access, bool discardContents)
{
    if (base_) return base_->transition(commandBuffer, layout, stages, access, discardContents);
    std::lock_guard lock(layoutMutex_);
    // Without a set-up step the image's contents, undefined anyway, are
    // discarded here.
    if (!placed_ && !placeLocked(commandBuffer)) discardContents = true;
    imageBarrier(commandBuffer.vk(), {image_, aspect_}, discardContents ? VK_IMAGE_LAYOUT_UNDEFINED : layout_, layout,
                 {lastStages_, lastAccess_}, {stages, access});
    layout_ = layout;
    lastStages_ = stages;
    lastAccess_ = access;
}

Texture::RestingState Texture::restingState() const
{
    // Later transitions start from these stages, which keeps the chain of
    // dependencies unbroken whatever comes next.
    const VkImageLayout resting = restingLayout();
    if (resting == VK_IMAGE_LAYOUT_PRESENT_SRC_KHR) {
        // Presentation waits on a semaphore signalled after the whole submission.
        return {resting, VK_PIPELINE_STAGE_2_NONE, VK_ACCESS_2_NONE};
    }
    if (resting == VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL) {
        return {resting,
                VK_PIPELINE_STAGE_2_VERTEX_SHADER_BIT | VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT |
                    VK_PIPELINE_STAGE_2_COMPUTE_SHADER_BIT,
                VK_ACCESS_2_SHADER_READ_BIT};
    }
    if (resting == VK_IMAGE_LAYOUT_ATTACHMENT_OPTIMAL && aspect_ == VK_IMAGE_ASPECT_COLOR_BIT) {
        return {resting, VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT,
                VK_ACCESS_2_COLOR_ATTACHMENT_READ_BIT | VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT};
    }
    if (resting == VK_IMAGE_LAYOUT_ATTACHMENT_OPTIMAL) {
        return {resting, VK_PIPELINE_STAGE_2_EARLY_FRAGMENT_TESTS_BIT | VK_PIPELINE_STAGE_2_LATE_FRAGMENT_TESTS_BIT,
                VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_READ_BIT | VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT};
    }
    return {resting, VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT, VK_ACCESS_2_MEMORY_READ_BIT | VK_ACCESS_2_MEMORY_WRITE_BIT};
}

void Texture::rest(CommandBuffer& commandBuffer)
{
    if (base_) return base_->rest(commandBuffer);
    const RestingState resting = restingState();
    transition(commandBuffer, resting.layout, resting.stages, resting.access);
}

void Texture::prepareForUse(CommandBuffer& commandBuffer)
{
    if (base_) return base_->prepareForUse(commandBuffer);
    std::lock_guard lock(layoutMutex_);
    if (!placed_) (void)placeLocked(commandBuffer);
}

bool Texture::placeLocked(CommandBuffer& commandBuffer)
{
    placed_ = true;
    const RestingState resting{layout_, lastStages_, lastAccess_};
    auto placed = commandBuffer.commandQueue()->recordSetUp(
        [&](VkCommandBuffer setUp) {
            imageBarrier(setUp, {image_, aspect_}, VK_IMAGE_LAYOUT_UNDEFINED, resting.layout, {},
                         {resting.stages, resting.access});
        },
        shared_from_this());
    return static_cast<bool>(placed);
}

void Texture::setTrackedState(VkImageLayout layout, VkPipelineStageFlags2 stages, VkAccessFlags2 access)
{
    if (base_) return base_->setTrackedState(layout, stages, access);
    std::lock_guard lock(layoutMutex_);
    layout_ = layout;
    lastStages_ = stages;
    lastAccess_ = access;
}

}  // namespace quendal::gpu
