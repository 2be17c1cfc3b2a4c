#include "platform/gpu/staging_ring.hpp"

#include <algorithm>
#include <bit>

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/device.hpp"

namespace quendal::gpu {

namespace {

constexpr uint64_t kInitialCapacity = uint64_t{1} << 20;
// Covers optimalBufferCopyOffsetAlignment and every texel size.
constexpr uint64_t kAlignment = 256;

uint64_t alignUp(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

}  // namespace

struct StagingRing::Lease {
    Lease(std::shared_ptr<State> state, uint64_t generation, uint64_t begin)
        : state(std::move(state)), generation(generation), begin(begin)
    {
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    std::shared_ptr<State> state;
    uint64_t generation;
    uint64_t begin;
    ~Lease()
    {
        std::lock_guard lock(state->mutex);
        if (state->generation == generation) state->inUse.erase(begin);
    }
};

StagingRing::StagingRing(std::shared_ptr<Device> device) : device_(std::move(device)) {}

Result<StagingRing::Slice> StagingRing::allocate(uint64_t size)
{
    if (size == 0) size = 1;
    if (size > UINT64_MAX / 4) return vkError(VK_ERROR_OUT_OF_DEVICE_MEMORY, "staging an upload this large");
    size = alignUp(size, kAlignment);
    State& s = *state_;
    std::lock_guard lock(s.mutex);
    // Slices are freed roughly in the order they were taken; the oldest one
    // still in use bounds the free space.
    auto fits = [&](uint64_t& begin) {
        if (!s.buffer || size > s.capacity) return false;
        if (s.inUse.empty()) s.head = alignUp(s.head, s.capacity);
        const uint64_t tail = s.inUse.empty() ? s.head : s.inUse.begin()->first;
        begin = s.head;
        const uint64_t position = begin % s.capacity;
        if (position + size > s.capacity) begin += s.capacity - position;  // wrap to the start
        return begin + size - tail <= s.capacity;
    };
    uint64_t begin = 0;
    if (!fits(begin)) {
        const uint64_t capacity = std::max({kInitialCapacity, s.capacity * 2, std::bit_ceil(size)});
        auto made = device_->newBuffer(capacity);
        if (!made) return made.error();
        device_->noteCreated(&DeviceStatistics::stagingBuffers);
        s.buffer = std::move(made.value());
        s.capacity = capacity;
        s.generation += 1;
        s.head = 0;
        s.inUse.clear();  // the old buffer's leases keep it alive
        begin = 0;
    }
    s.head = begin + size;
    s.inUse.emplace(begin, s.head);
    Slice slice;
    slice.buffer = s.buffer;
    slice.offset = begin % s.capacity;
    slice.bytes = static_cast<uint8_t*>(s.buffer->contents()) + slice.offset;
    // The lease also holds the buffer: a slice of a retired buffer keeps it.
    auto lease = std::make_shared<Lease>(state_, s.generation, begin);
    struct Holder {
        std::shared_ptr<Lease> lease;
        std::shared_ptr<Buffer> buffer;
    };
    slice.lease = std::make_shared<Holder>(Holder{std::move(lease), s.buffer});
    return slice;
}

}  // namespace quendal::gpu
