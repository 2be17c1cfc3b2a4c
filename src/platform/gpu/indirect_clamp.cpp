#include "platform/gpu/indirect_clamp.hpp"

#include <mutex>
#include <unordered_map>

#include "platform/gpu/blit_command_encoder.hpp"
#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/compute_command_encoder.hpp"
#include "platform/gpu/compute_pipeline.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/library.hpp"

namespace quendal::gpu {
namespace {

// One slot of 16 words a draw: the caller's arguments are copied to words 0-4
// (four for a plain draw, five for an indexed one) and the clamped ones are
// written to words 8-12, where the draw reads them.
constexpr uint64_t kSlotBytes = 64;
constexpr uint64_t kClampedOffset = 32;
constexpr uint32_t kSlotsPerChunk = 256;
constexpr uint32_t kThreadsPerGroup = 64;

const char* const kClampSource = R"(
#ifdef QUENDAL_COMPUTE
layout(set = 0, binding = 0) buffer Slots { uint words[]; };
const uint kLimit = 16777216u;
void clamp_draw_arguments() {
    uint base = gl_GlobalInvocationID.x * 16u;
    uint count = min(words[base], kLimit);
    words[base + 8u] = count;
    words[base + 9u] = count == 0u ? 0u : min(words[base + 1u], kLimit / count);
    words[base + 10u] = words[base + 2u];
    words[base + 11u] = words[base + 3u];
    words[base + 12u] = words[base + 4u];
}
#endif
)";
static_assert(kMaxIndirectInvocations == 16777216u, "the kernel's limit");

// Built once per device and kept for the life of the process, like the device.
Result<std::shared_ptr<ComputePipelineState>> clampPipeline(const std::shared_ptr<Device>& device)
{
    static std::mutex mutex;
    static auto* pipelines = new std::unordered_map<Device*, std::shared_ptr<ComputePipelineState>>();
    std::lock_guard lock(mutex);
    if (auto it = pipelines->find(device.get()); it != pipelines->end()) return it->second;
    auto library = Library::newWithSource(kClampSource);
    if (!library) return library.error();
    auto function = library.value()->newFunction("clamp_draw_arguments", ShaderStage::Compute);
    if (!function) return function.error();
    auto pipeline = ComputePipelineState::create(device, function.value());
    if (!pipeline) return pipeline.error();
    pipelines->emplace(device.get(), pipeline.value());
    return pipeline.value();
}

}  // namespace

Result<IndirectArguments> IndirectClamp::add(const std::shared_ptr<CommandBuffer>& prologue, const std::shared_ptr<Buffer>& source,
                                             uint64_t offset, uint64_t size)
{
    if (chunks_.empty() || usedInLastChunk_ == kSlotsPerChunk) {
        auto chunk = prologue->device()->newBuffer(kSlotBytes * kSlotsPerChunk);
        if (!chunk) return chunk.error();
        chunks_.push_back(std::move(chunk.value()));
        usedInLastChunk_ = 0;
    }
    const std::shared_ptr<Buffer>& chunk = chunks_.back();
    const uint64_t slot = uint64_t{usedInLastChunk_++} * kSlotBytes;
    if (auto copied = BlitCommandEncoder(prologue).copyFromBuffer(source, offset, chunk, slot, size); !copied) {
        return copied.error();
    }
    return IndirectArguments{chunk, slot + kClampedOffset};
}

Status IndirectClamp::finish(const std::shared_ptr<CommandBuffer>& prologue)
{
    if (chunks_.empty()) return success();
    auto pipeline = clampPipeline(prologue->device());
    if (!pipeline) return pipeline.error();
    prologue->memoryBarrier();
    ComputeCommandEncoder encoder(prologue);
    encoder.setComputePipelineState(pipeline.value());
    for (size_t i = 0; i < chunks_.size(); ++i) {
        const uint32_t slots = i + 1 == chunks_.size() ? usedInLastChunk_ : kSlotsPerChunk;
        encoder.setBuffer(chunks_[i], 0, 0);
        const Size3 groups{(slots + kThreadsPerGroup - 1) / kThreadsPerGroup, 1, 1};
        if (auto dispatched = encoder.dispatchThreadgroups(groups, Size3{kThreadsPerGroup, 1, 1}); !dispatched) {
            return dispatched;
        }
    }
    encoder.endEncoding();
    prologue->memoryBarrier();
    return success();
}

}  // namespace quendal::gpu
