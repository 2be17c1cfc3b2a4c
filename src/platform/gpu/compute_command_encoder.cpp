#include "platform/gpu/compute_command_encoder.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/gpu/barriers.hpp"
#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/compute_pipeline.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/pipeline_layout.hpp"
#include "platform/gpu/texture.hpp"

namespace quendal::gpu {

namespace {

Error refused(std::string reason)
{
    return Error{VK_ERROR_INITIALIZATION_FAILED, std::move(reason)};
}

std::string sizeText(Size3 s)
{
    return std::to_string(s.width) + "x" + std::to_string(s.height) + "x" + std::to_string(s.depth);
}

bool isSampled(VkDescriptorType type)
{
    return type == VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER || type == VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE;
}

}  // namespace

ComputeCommandEncoder::ComputeCommandEncoder(std::shared_ptr<CommandBuffer> commandBuffer)
    : commandBuffer_(std::move(commandBuffer))
{
}

void ComputeCommandEncoder::setComputePipelineState(std::shared_ptr<ComputePipelineState> state)
{
    commandBuffer_->retain(state);
    state_ = std::move(state);
}

void ComputeCommandEncoder::setBuffer(std::shared_ptr<Buffer> buffer, uint64_t offset, uint32_t index)
{
    commandBuffer_->retain(buffer);
    buffers_[index] = BufferBinding{std::move(buffer), offset};
}

void ComputeCommandEncoder::setTexture(std::shared_ptr<Texture> texture, uint32_t index)
{
    commandBuffer_->retain(texture);
    textures_[index] = std::move(texture);
}

Status ComputeCommandEncoder::dispatchThreadgroups(Size3 grid, Size3 threadsPerThreadgroup)
{
    if (ended_) return refused("The compute encoder has ended encoding.");
    if (!state_) return refused("No compute pipeline is set for this pass.");
    const Device& device = *commandBuffer_->device();
    const VkPhysicalDeviceLimits& limits = device.properties().limits;
    if (grid.width == 0 || grid.height == 0 || grid.depth == 0 || grid.width > limits.maxComputeWorkGroupCount[0] ||
        grid.height > limits.maxComputeWorkGroupCount[1] || grid.depth > limits.maxComputeWorkGroupCount[2]) {
        return refused("Threadgroup count " + sizeText(grid) + " exceeds the device's limits.");
    }
    auto pipeline = state_->pipelineFor(threadsPerThreadgroup.width, threadsPerThreadgroup.height,
                                        threadsPerThreadgroup.depth);
    if (!pipeline) return pipeline.error();
    auto standIns = commandBuffer_->device()->standIns(*commandBuffer_->commandQueue());
    if (!standIns) return standIns.error();
    const StandIns& zero = *standIns.value();

    const PipelineLayout& layout = state_->layout();
    std::vector<Texture*> used;
    auto findBuffer = [&](BindingSpace, uint32_t index) -> const BufferBinding* {
        auto it = buffers_.find(index);
        return it == buffers_.end() ? nullptr : &it->second;
    };
    // Offsets inside the buffer are the caller's check.
    auto checkOffset = [](uint32_t index, const BufferBinding& bound, uint64_t alignment,
                          bool uniform) -> std::optional<Error> {
        if (alignment <= 1 || bound.offset % alignment == 0) return std::nullopt;
        return refused("The offset " + std::to_string(bound.offset) + " of the buffer at index " +
                       std::to_string(index) + " is not a multiple of " + std::to_string(alignment) +
                       ", the device's alignment for " + (uniform ? "uniform" : "storage") + " buffers.");
    };
    auto resolveImage = [&](const ResourceBinding& b, uint32_t index) -> Result<VkDescriptorImageInfo> {
        const bool storage = b.type == VK_DESCRIPTOR_TYPE_STORAGE_IMAGE;
        auto it = textures_.find(index);
        if (it == textures_.end()) {
            // Stand-ins stay in their resting layouts: no transitions.
            const Texture* standIn = storage ? zero.storage.get() : zero.sampled.get();
            if (!standIn) {
                return refused("The texture at index " + std::to_string(index) +
                               " cannot be written by a kernel: the device has no storage support for its format.");
            }
            return VkDescriptorImageInfo{VK_NULL_HANDLE, standIn->view(), standIn->restingLayout()};
        }
        Texture* texture = it->second.get();
        if (storage && !texture->supportsShaderWrite()) {
            return refused("The texture at index " + std::to_string(index) +
                           " cannot be written by a kernel: the device has no storage support for its format.");
        }
        if (isSampled(b.type) && !(texture->usage() & TextureUsageShaderRead)) {
            return refused("The texture at index " + std::to_string(index) + " cannot be sampled.");
        }
        if (std::find(used.begin(), used.end(), texture) == used.end()) used.push_back(texture);
        return VkDescriptorImageInfo{VK_NULL_HANDLE, texture->view(), VK_IMAGE_LAYOUT_GENERAL};
    };
    if (auto resolved = push_.resolve(layout, device, zero, findBuffer, checkOffset, resolveImage); !resolved) {
        return resolved;
    }

    VkCommandBuffer cb = commandBuffer_->vk();
    for (Texture* texture : used) {
        texture->transition(*commandBuffer_, VK_IMAGE_LAYOUT_GENERAL, VK_PIPELINE_STAGE_2_COMPUTE_SHADER_BIT,
                            VK_ACCESS_2_SHADER_READ_BIT | VK_ACCESS_2_SHADER_WRITE_BIT);
    }
    if (boundPipeline_ != pipeline.value()) {
        vkCmdBindPipeline(cb, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline.value());
        boundPipeline_ = pipeline.value();
    }
    push_.record(cb, device, VK_PIPELINE_BIND_POINT_COMPUTE, layout);
    vkCmdDispatch(cb, grid.width, grid.height, grid.depth);
    for (Texture* texture : used) texture->rest(*commandBuffer_);
    return success();
}

void ComputeCommandEncoder::endEncoding()
{
    if (ended_) return;
    ended_ = true;
    memoryBarrier(commandBuffer_->vk(), {VK_PIPELINE_STAGE_2_COMPUTE_SHADER_BIT, VK_ACCESS_2_SHADER_WRITE_BIT},
                  {VK_PIPELINE_STAGE_2_HOST_BIT, VK_ACCESS_2_HOST_READ_BIT});
}

void ComputeCommandEncoder::memoryBarrierWithScope(uint32_t)
{
    // One full barrier serves buffers and textures alike.
    commandBuffer_->memoryBarrier();
}

}  // namespace quendal::gpu
