// Staging memory for uploads: one host-visible buffer that uploads take
// slices of, each slice free again once the GPU work that reads it is done.
// When a slice does not fit beside the ones still in use, the ring moves to a
// buffer twice as large; the old one lives on in the leases that still hold it.
// Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/gpu/result.hpp"

namespace quendal::gpu {

class Buffer;
class Device;

class StagingRing {
public:
    struct Slice {
        std::shared_ptr<Buffer> buffer;
        uint64_t offset = 0;
        uint8_t* bytes = nullptr;
        // Keeps the slice taken; retain it with the work that reads it.
        std::shared_ptr<void> lease;
    };

    explicit StagingRing(std::shared_ptr<Device> device);
    StagingRing(const StagingRing&) = delete;
    StagingRing& operator=(const StagingRing&) = delete;

    // size bytes at an offset aligned for buffer-to-image copies of any format.
    Result<Slice> allocate(uint64_t size);

private:
    struct State {
        std::mutex mutex;
        std::shared_ptr<Buffer> buffer;
        uint64_t capacity = 0;
        uint64_t generation = 0;
        uint64_t head = 0;                       // grows without bound; position = head % capacity
        std::map<uint64_t, uint64_t> inUse;      // begin -> end, in the same count
    };
    struct Lease;

    std::shared_ptr<Device> device_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace quendal::gpu
