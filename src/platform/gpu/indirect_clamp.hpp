// Clamping of indirect draw arguments. The counts of an indirect draw are read
// by the GPU when the frame runs; counts of billions keep a software driver
// busy for minutes. Each indirect draw therefore reads its arguments from
// memory of its command buffer's own, where a small compute pass, run right
// before the command buffer, copies them from the caller's buffer and clamps
// them so that no draw runs more than kMaxIndirectInvocations vertex shader
// invocations (count × instances).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class Buffer;
class CommandBuffer;

// 2^24 vertices or indices per indirect draw, instances included.
inline constexpr uint32_t kMaxIndirectInvocations = 1u << 24;

struct IndirectArguments {
    std::shared_ptr<Buffer> buffer;
    uint64_t offset = 0;
};

// The clamped copies of one command buffer's indirect draw arguments.
// Recording thread only, like the command buffer itself.
class IndirectClamp {
public:
    // Records the copy of size bytes (one draw's arguments) at offset of
    // source into the prologue, and returns where the clamped arguments will be.
    Result<IndirectArguments> add(const std::shared_ptr<CommandBuffer>& prologue, const std::shared_ptr<Buffer>& source, uint64_t offset,
                                  uint64_t size);
    // Records the clamping pass into the prologue, ordered after the copies and
    // before any indirect read of what follows it on the queue.
    Status finish(const std::shared_ptr<CommandBuffer>& prologue);

private:
    std::vector<std::shared_ptr<Buffer>> chunks_;
    uint32_t usedInLastChunk_ = 0;
};

}  // namespace quendal::gpu
