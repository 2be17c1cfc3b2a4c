#include <cstring>
#include <chrono>
#include <mutex>
#include <thread>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "platform/gpu/blit_command_encoder.hpp"
#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/device.hpp"

using namespace quendal::gpu;

namespace {

std::shared_ptr<Device> sharedDevice()
{
    static auto device = Device::createSystemDefault();
    return device ? device.value() : nullptr;
}

}  // namespace

TEST(GpuDevice, OpensAVulkan13Device)
{
    auto device = sharedDevice();
    ASSERT_TRUE(device);
    EXPECT_FALSE(device->name().empty());
    EXPECT_GE(device->properties().apiVersion, VK_API_VERSION_1_3);
    EXPECT_NE(device->functions().cmdPushDescriptorSet, nullptr);
    EXPECT_TRUE(device->supportedSampleCounts() & VK_SAMPLE_COUNT_1_BIT);
}

TEST(GpuBuffer, ContentsAreMappedForTheBuffersLife)
{
    auto buffer = sharedDevice()->newBuffer(4096);
    ASSERT_TRUE(buffer) << buffer.error().reason;
    EXPECT_EQ(buffer.value()->length(), 4096u);
    ASSERT_NE(buffer.value()->contents(), nullptr);
    std::memset(buffer.value()->contents(), 0xAB, 4096);
    EXPECT_EQ(static_cast<unsigned char*>(buffer.value()->contents())[4095], 0xAB);
}

TEST(GpuBuffer, RefusesSizesTheDeviceCannotHold)
{
    auto device = sharedDevice();
    EXPECT_FALSE(device->newBuffer(0));
    auto huge = device->newBuffer(uint64_t{1} << 62);
    ASSERT_FALSE(huge);
    EXPECT_FALSE(huge.error().reason.empty());
}

TEST(GpuCommandBuffer, DeviceCopiesOneBufferIntoAnother)
{
    auto device = sharedDevice();
    auto queue = device->newCommandQueue();
    ASSERT_TRUE(queue);
    const size_t n = 1 << 16;
    auto source = device->newBuffer(n);
    auto destination = device->newBuffer(n);
    ASSERT_TRUE(source && destination);
    auto* src = static_cast<unsigned char*>(source.value()->contents());
    for (size_t i = 0; i < n; ++i) src[i] = static_cast<unsigned char>(i * 7 + 3);
    std::memset(destination.value()->contents(), 0, n);

    auto cb = queue.value()->commandBuffer();
    ASSERT_TRUE(cb) << cb.error().reason;
    int handlerCalls = 0;
    BlitCommandEncoder(cb.value()).copyFromBuffer(source.value(), 16, destination.value(), 0, n - 16);
    cb.value()->addCompletedHandler([&](CommandBuffer& done) {
        ++handlerCalls;
        EXPECT_EQ(&done, cb.value().get());
    });
    cb.value()->commit();
    cb.value()->waitUntilCompleted();
    EXPECT_EQ(cb.value()->status(), CommandBufferStatus::Completed);
    EXPECT_EQ(handlerCalls, 1);
    EXPECT_EQ(std::memcmp(destination.value()->contents(), src + 16, n - 16), 0);
    EXPECT_EQ(static_cast<unsigned char*>(destination.value()->contents())[n - 1], 0);
}

TEST(GpuCommandBuffer, KeepsResourcesAliveUntilCompleted)
{
    auto device = sharedDevice();
    auto queue = device->newCommandQueue().value();
    auto destination = device->newBuffer(256).value();
    std::weak_ptr<Buffer> watched;
    auto cb = queue->commandBuffer().value();
    {
        auto source = device->newBuffer(256).value();
        std::memset(source->contents(), 0x5A, 256);
        watched = source;
        BlitCommandEncoder(cb).copyFromBuffer(source, 0, destination, 0, 256);
    }
    EXPECT_FALSE(watched.expired());
    cb->commit();
    cb->waitUntilCompleted();
    EXPECT_TRUE(watched.expired());
    EXPECT_EQ(static_cast<unsigned char*>(destination->contents())[255], 0x5A);
}

// A pass end waits holding a lock that earlier command buffers' completion
// handlers take: it must not wait for those handlers.
TEST(GpuCommandBuffer, ExecutedWaitDoesNotWaitForEarlierHandlers)
{
    auto device = sharedDevice();
    auto queue = device->newCommandQueue().value();
    auto source = device->newBuffer(64).value();
    auto destination = device->newBuffer(64).value();
    std::memset(source->contents(), 0x3C, 64);
    std::memset(destination->contents(), 0, 64);

    std::mutex held;
    std::unique_lock lock(held);
    auto earlier = queue->commandBuffer().value();
    bool handlerRan = false;
    earlier->addCompletedHandler([&](CommandBuffer&) {
        std::lock_guard wait(held);
        handlerRan = true;
    });
    earlier->commit();
    auto later = queue->commandBuffer().value();
    BlitCommandEncoder(later).copyFromBuffer(source, 0, destination, 0, 64);
    later->commit();
    EXPECT_TRUE(later->waitUntilExecuted());
    EXPECT_EQ(static_cast<unsigned char*>(destination->contents())[63], 0x3C);
    EXPECT_FALSE(handlerRan);
    lock.unlock();
    later->waitUntilCompleted();
    EXPECT_TRUE(handlerRan);
}

TEST(GpuCommandBuffer, ExecutedWaitOnAnUncommittedBufferFails)
{
    auto queue = sharedDevice()->newCommandQueue().value();
    auto cb = queue->commandBuffer().value();
    EXPECT_FALSE(cb->waitUntilExecuted());
}

// Nobody waits for this command buffer: the queue still lets go of what it kept.
TEST(GpuCommandBuffer, ReleasesResourcesWithoutAWaiter)
{
    auto device = sharedDevice();
    auto queue = device->newCommandQueue().value();
    auto destination = device->newBuffer(256).value();
    std::weak_ptr<Buffer> watched;
    std::weak_ptr<CommandBuffer> watchedCommands;
    {
        auto cb = queue->commandBuffer().value();
        auto source = device->newBuffer(256).value();
        watched = source;
        watchedCommands = cb;
        BlitCommandEncoder(cb).copyFromBuffer(source, 0, destination, 0, 256);
        cb->commit();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((!watched.expired() || !watchedCommands.expired()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(watched.expired());
    EXPECT_TRUE(watchedCommands.expired());
}
