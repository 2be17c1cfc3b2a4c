// A 2-D texture: one Vulkan image in device-local memory with its views.
//
// The texture tracks the layout its image will be in once everything recorded
// so far has run, and the stages and accesses that last touched it, so that
// encoders can move it to the layout they need with transition(). Recording
// happens in submission order on the one queue, which keeps that tracking true.
// Layout tracking is thread-safe; everything else is immutable after creation.
//
// A new texture counts as resting from the start; the barrier that really puts
// it there is recorded into the set-up step of the queue of the first command
// buffer that uses it (or fills it), which runs ahead of that command buffer
// and of every later one. A texture nothing uses is never touched.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include <vulkan/vulkan.h>

#include "platform/gpu/pixel_format.hpp"
#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class CommandBuffer;
class CommandQueue;
class Device;

// Metal's texture usage bits.
enum TextureUsage : uint32_t {
    TextureUsageShaderRead = 1,
    TextureUsageShaderWrite = 2,
    TextureUsageRenderTarget = 4,
};

struct TextureDescriptor {
    PixelFormat pixelFormat = PixelFormat::BGRA8Unorm;
    uint32_t width = 1;
    uint32_t height = 1;
    uint32_t sampleCount = 1;
    uint32_t mipmapLevelCount = 1;
    uint32_t usage = TextureUsageShaderRead;
};

class Texture : public std::enable_shared_from_this<Texture> {
public:
    // Sizes, sample counts and level counts the device cannot honour are refused
    // here rather than reaching the driver. ShaderWrite is dropped silently where
    // the device cannot store to the format (storage is optional for BGRA8):
    // supportsShaderWrite() says whether it was granted.
    static Result<std::shared_ptr<Texture>> create(std::shared_ptr<Device> device, const TextureDescriptor& descriptor);
    // A texture over an image that something else owns (a swapchain image):
    // the texture makes its views, keeps owner alive until they are gone, and
    // rests in resting (PRESENT_SRC for presentable images).
    static Result<std::shared_ptr<Texture>> wrap(std::shared_ptr<Device> device, VkImage image,
                                                 const TextureDescriptor& descriptor, VkImageUsageFlags usage,
                                                 VkImageLayout resting, std::shared_ptr<void> owner);
    // The same image, views and layout tracking as base, reported as another
    // pixel format: the depth and the stencil attachment of a frame that uses
    // both are one combined image, while each keeps its own format for estimates.
    static std::shared_ptr<Texture> alias(std::shared_ptr<Texture> base, PixelFormat reported);
    ~Texture();
    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;

    uint32_t width() const { return descriptor_.width; }
    uint32_t height() const { return descriptor_.height; }
    PixelFormat pixelFormat() const { return descriptor_.pixelFormat; }
    uint32_t sampleCount() const { return descriptor_.sampleCount; }
    uint32_t mipmapLevelCount() const { return descriptor_.mipmapLevelCount; }
    uint32_t usage() const { return descriptor_.usage; }
    bool supportsShaderWrite() const { return (descriptor_.usage & TextureUsageShaderWrite) != 0; }
    bool supportsLinearFiltering() const { return linearFilter_; }

    const std::shared_ptr<Device>& device() const { return device_; }
    VkImage image() const { return image_; }
    // Whether both are views of one image (a texture and its aliases).
    bool sharesImageWith(const Texture& other) const { return image_ == other.image_; }
    VkFormat format() const { return format_; }
    // Depth, stencil or both for depth/stencil formats; colour otherwise.
    VkImageAspectFlags aspect() const { return aspect_; }
    // All levels, one aspect (depth where there is one): for sampling and storage.
    VkImageView view() const { return view_; }
    // Level 0, every aspect: for rendering into.
    VkImageView attachmentView() const { return attachmentView_; }
    // Where the texture rests between uses: shader-read-only when it can be
    // sampled, else its attachment layout.
    VkImageLayout restingLayout() const;

    VkImageLayout layout();
    // Records a barrier that moves every level from the tracked layout to layout,
    // ordering it after the stages and accesses that last touched the image and
    // before stages/access. An UNDEFINED tracked layout discards the contents,
    // as does discardContents (for attachments that are cleared: valid whatever
    // layout the image is really in). A new texture is already in its resting
    // layout.
    void transition(CommandBuffer& commandBuffer, VkImageLayout layout, VkPipelineStageFlags2 stages,
                    VkAccessFlags2 access, bool discardContents = false);
    // For encoders that use the texture in its resting layout without a
    // transition: makes sure it is in that layout by the time commandBuffer runs.
    void prepareForUse(CommandBuffer& commandBuffer);
    // Moves the texture to its resting layout, ordered before any later use.
    void rest(CommandBuffer& commandBuffer);
    // For encoders that moved the image themselves (per-level barriers).
    void setTrackedState(VkImageLayout layout, VkPipelineStageFlags2 stages, VkAccessFlags2 access);

private:
    friend class CommandQueue;
    explicit Texture(std::shared_ptr<Device> device) : device_(std::move(device)) {}
    // The steps of create, in order.
    Status chooseUsage();
    Result<VkImageFormatProperties> formatLimits();
    Status createImage(const VkImageFormatProperties& limits);
    Status makeViews();

    // The resting layout and the stages and accesses that wait for it.
    struct RestingState {
        VkImageLayout layout;
        VkPipelineStageFlags2 stages;
        VkAccessFlags2 access;
    };
    RestingState restingState() const;
    // Records the first move into the resting layout into the set-up step of
    // commandBuffer's queue; false when that could not be done. layoutMutex_ held.
    bool placeLocked(CommandBuffer& commandBuffer);

    std::shared_ptr<Device> device_;
    // What keeps a borrowed image alive, or the texture an alias stands for;
    // declared first so that it goes after the views.
    std::shared_ptr<void> owner_;
    std::shared_ptr<Texture> base_;
    bool ownsImage_ = true;
    bool ownsViews_ = true;
    VkImageLayout resting_ = VK_IMAGE_LAYOUT_UNDEFINED;
    TextureDescriptor descriptor_;
    VkImage image_ = VK_NULL_HANDLE;
    VkDeviceMemory memory_ = VK_NULL_HANDLE;
    VkImageView view_ = VK_NULL_HANDLE;
    VkImageView attachmentView_ = VK_NULL_HANDLE;
    VkFormat format_ = VK_FORMAT_UNDEFINED;
    VkImageAspectFlags aspect_ = 0;
    VkImageUsageFlags vkUsage_ = 0;
    bool linearFilter_ = false;

    std::mutex layoutMutex_;
    bool placed_ = true;  // false until the first layout is recorded for a new image
    VkImageLayout layout_ = VK_IMAGE_LAYOUT_UNDEFINED;
    VkPipelineStageFlags2 lastStages_ = VK_PIPELINE_STAGE_2_NONE;
    VkAccessFlags2 lastAccess_ = VK_ACCESS_2_NONE;
};

}  // namespace quendal::gpu
