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

    // size bytes between buffers; the ranges must lie inside them (the caller checks).
    Status copyFromBuffer(const std::shared_ptr<Buffer>& source, uint64_t sourceOffset,
                          const std::shared_ptr<Buffer>& destination, uint64_t destinationOffset, uint64_t size);
    // Fills level 0 of texture from buffer, row y at sourceOffset + y *
    // bytesPerRow (0: rows packed).
    Status copyFromBuffer(const std::shared_ptr<Buffer>& buffer, uint64_t sourceOffset, uint64_t bytesPerRow,
                          const std::shared_ptr<Texture>& texture);
    // Level 0 of texture into buffer from destinationOffset, rows bytesPerRow
    // apart (0: packed). Any stride of at least one row works; the bytes
    // between rows are left as they were. The buffer's contents are readable by
    // the CPU once the command buffer has completed.
    //
    // Both texture copies are refused, with nothing recorded, when a row would
    // fall outside the buffer, the texture is multisample or holds both depth
    // and stencil, or encoding has ended.
    Status copyFromTexture(const std::shared_ptr<Texture>& texture, const std::shared_ptr<Buffer>& buffer,
                           uint64_t destinationOffset, uint64_t bytesPerRow);
    // Fills every level after the first by downsampling the one before it
    // (linear where the format allows). A texture of one level needs nothing.
    Status generateMipmaps(const std::shared_ptr<Texture>& texture);
    void endEncoding() { ended_ = true; }

    const std::shared_ptr<CommandBuffer>& commandBuffer() const { return commandBuffer_; }

private:
    std::shared_ptr<CommandBuffer> commandBuffer_;
    bool ended_ = false;
};

}  // namespace quendal::gpu
