// A compute command encoder (the counterpart of MTLComputeCommandEncoder).
//
// Bindings are remembered by the contract's index, as Metal does, and pushed at
// each dispatch into the pipeline's push set (see pipeline_layout.hpp). A
// binding the kernel uses but nobody set gets one of the device's zero-filled
// stand-ins, so nothing undefined reaches the GPU. Textures are used in the GENERAL layout (storage
// and sampled alike) during a dispatch and go back to their resting layout
// right after it, so command buffers recorded side by side may commit in any
// order.
//
// Recording is done by one thread at a time (the caller serialises it).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include <vulkan/vulkan.h>

#include "platform/gpu/descriptor_push.hpp"
#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class Buffer;
class CommandBuffer;
class ComputePipelineState;
class Texture;

struct Size3 {
    uint32_t width = 1;
    uint32_t height = 1;
    uint32_t depth = 1;
};

// MTLBarrierScope.
enum BarrierScope : uint32_t {
    BarrierScopeBuffers = 1,
    BarrierScopeTextures = 2,
};

class ComputeCommandEncoder {
public:
    explicit ComputeCommandEncoder(std::shared_ptr<CommandBuffer> commandBuffer);
    ComputeCommandEncoder(const ComputeCommandEncoder&) = delete;
    ComputeCommandEncoder& operator=(const ComputeCommandEncoder&) = delete;

    void setComputePipelineState(std::shared_ptr<ComputePipelineState> state);
    const std::shared_ptr<ComputePipelineState>& computePipelineState() const { return state_; }
    // Offsets must lie inside the buffer; the caller checks.
    void setBuffer(std::shared_ptr<Buffer> buffer, uint64_t offset, uint32_t index);
    void setTexture(std::shared_ptr<Texture> texture, uint32_t index);

    // Records one dispatch of grid threadgroups of threadsPerThreadgroup each.
    // Refused, with nothing recorded and a reason fit for the caller, when no
    // pipeline is set, a size is outside the device's limits, or a bound
    // resource does not suit the kernel's use of it.
    Status dispatchThreadgroups(Size3 grid, Size3 threadsPerThreadgroup);
    // Orders everything dispatched so far before whatever follows.
    void memoryBarrierWithScope(uint32_t scope);
    // Makes the pass's writes visible to the host once the command buffer has
    // completed; nothing more may be encoded.
    void endEncoding();

    const std::shared_ptr<CommandBuffer>& commandBuffer() const { return commandBuffer_; }

private:
    std::shared_ptr<CommandBuffer> commandBuffer_;
    std::shared_ptr<ComputePipelineState> state_;
    std::map<uint32_t, BufferBinding> buffers_;
    std::map<uint32_t, std::shared_ptr<Texture>> textures_;
    DescriptorPush push_;  // kept between dispatches for its storage
    VkPipeline boundPipeline_ = VK_NULL_HANDLE;
    bool ended_ = false;
};

}  // namespace quendal::gpu
