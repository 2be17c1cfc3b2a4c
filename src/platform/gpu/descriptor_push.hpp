// The bindings of one draw or dispatch, resolved into one push-descriptor
// write for the pipeline's push set (see pipeline_layout.hpp). Shared by the
// render and compute encoders: each says where its bound resources are and how
// it wants textures used; buffers nobody bound are the device's stand-in.
// Everything is resolved before anything is recorded, so a draw or dispatch
// that is refused records nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <vulkan/vulkan.h>

#include "platform/gpu/pipeline_layout.hpp"
#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class Buffer;
class Device;
struct StandIns;

struct BufferBinding {
    std::shared_ptr<Buffer> buffer;
    uint64_t offset = 0;
};

class DescriptorPush {
public:
    // The buffer bound at an index of a space, or null.
    using FindBuffer = std::function<const BufferBinding*(BindingSpace space, uint32_t index)>;
    // The refusal for a bound buffer whose offset does not suit the binding,
    // given the device's offset alignment for its kind; nullopt when it suits.
    using CheckOffset =
        std::function<std::optional<Error>(uint32_t index, const BufferBinding& bound, uint64_t alignment, bool uniform)>;
    // The image to push for element index of an image binding, or the refusal.
    using ResolveImage = std::function<Result<VkDescriptorImageInfo>(const ResourceBinding& binding, uint32_t index)>;

    Status resolve(const PipelineLayout& layout, const Device& device, const StandIns& standIns,
                   const FindBuffer& findBuffer, const CheckOffset& checkOffset, const ResolveImage& resolveImage);
    // Pushes what resolve() made (nothing when the pipeline binds nothing).
    void record(VkCommandBuffer commandBuffer, const Device& device, VkPipelineBindPoint bindPoint,
                const PipelineLayout& layout) const;

private:
    std::vector<VkDescriptorBufferInfo> buffers_;
    std::vector<VkDescriptorImageInfo> images_;
    std::vector<VkWriteDescriptorSet> writes_;
};

}  // namespace quendal::gpu
