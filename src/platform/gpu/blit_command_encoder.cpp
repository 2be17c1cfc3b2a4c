#include "platform/gpu/blit_command_encoder.hpp"

#include "platform/gpu/command_buffer.hpp"

namespace quendal::gpu {

namespace {

Error endedError()
{
    return Error{VK_ERROR_INITIALIZATION_FAILED, "the blit encoder has ended encoding"};
}

}  // namespace

Status BlitCommandEncoder::copyFromTexture(const std::shared_ptr<Texture>& texture,
                                           const std::shared_ptr<Buffer>& buffer, uint64_t destinationOffset,
                                           uint64_t bytesPerRow)
{
    if (ended_) return endedError();
    return commandBuffer_->copyTextureToBuffer(texture, buffer, destinationOffset, bytesPerRow);
}

Status BlitCommandEncoder::generateMipmaps(const std::shared_ptr<Texture>& texture)
{
    if (ended_) return endedError();
    return commandBuffer_->generateMipmaps(texture);
}

}  // namespace quendal::gpu
