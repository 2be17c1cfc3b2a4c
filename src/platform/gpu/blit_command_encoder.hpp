// A blit command encoder (the counterpart of MTLBlitCommandEncoder): copies and
// mipmap generation recorded into its command buffer. Each operation leaves its
// texture in the texture's resting layout, so command buffers recorded side by
// side may be committed in any order.
//
// Recording is done by one thread at a time (the caller serialises it).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class Buffer;
class CommandBuffer;
class Texture;

class BlitCommandEncoder {
public:
    explicit BlitCommandEncoder(std::shared_ptr<CommandBuffer> commandBuffer)
        : commandBuffer_(std::move(commandBuffer))
    {
    }
    BlitCommandEncoder(const BlitCommandEncoder&) = delete;
    BlitCommandEncoder& operator=(const BlitCommandEncoder&) = delete;

    // Level 0 of texture into buffer from destinationOffset, rows bytesPerRow
    // apart. Refused, with nothing recorded, when the rows do not fit the
    // buffer, the texture cannot be copied, or encoding has ended.
    Status copyFromTexture(const std::shared_ptr<Texture>& texture, const std::shared_ptr<Buffer>& buffer,
                           uint64_t destinationOffset, uint64_t bytesPerRow);
    Status generateMipmaps(const std::shared_ptr<Texture>& texture);
    void endEncoding() { ended_ = true; }

    const std::shared_ptr<CommandBuffer>& commandBuffer() const { return commandBuffer_; }

private:
    std::shared_ptr<CommandBuffer> commandBuffer_;
    bool ended_ = false;
};

}  // namespace quendal::gpu
