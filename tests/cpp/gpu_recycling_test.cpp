// What every frame needs is recycled, and texture contents reach the GPU
// without the creator waiting for it.
#include <cstring>
#include <atomic>
#include <deque>
#include <thread>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "platform/gpu/blit_command_encoder.hpp"
#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/library.hpp"
#include "platform/gpu/render_command_encoder.hpp"
#include "platform/gpu/render_pipeline.hpp"
#include "platform/gpu/texture.hpp"

using namespace quendal::gpu;

namespace {

const char* kSource = R"(
#ifdef QUENDAL_VERTEX
void vs() { gl_Position = vec4(float(gl_VertexIndex & 1) * 2.0 - 1.0, float(gl_VertexIndex >> 1) * 2.0 - 1.0, 0.0, 1.0); }
#endif
#ifdef QUENDAL_FRAGMENT
layout(set = 2, binding = 0) uniform sampler2D picture;
layout(location = 0) out vec4 color;
void fs() { color = texelFetch(picture, ivec2(0, 0), 0); }
#endif
)";

constexpr uint32_t kSize = 8;
constexpr size_t kFramesInFlight = 3;

struct Fixture {
    std::shared_ptr<Device> device = Device::createSystemDefault().value();
    std::shared_ptr<CommandQueue> queue = device->newCommandQueue().value();

    std::shared_ptr<Texture> target()
    {
        return device->newTexture({PixelFormat::BGRA8Unorm, kSize, kSize, 1, 1,
                                   TextureUsageRenderTarget | TextureUsageShaderRead})
            .value();
    }

    // A texture filled with one BGRA colour through the set-up step.
    std::shared_ptr<Texture> filled(uint32_t bgra, uint32_t side = kSize)
    {
        auto texture = device->newTexture({PixelFormat::BGRA8Unorm, side, side, 1, 1, TextureUsageShaderRead}).value();
        auto status = queue->replaceTextureContents(texture, [&](uint8_t* rows) {
            for (uint32_t i = 0; i < side * side; ++i) std::memcpy(rows + i * 4, &bgra, 4);
            return true;
        });
        EXPECT_TRUE(status) << status.error().reason;
        return texture;
    }

    // The first pixel of texture, read back through a blit.
    uint32_t firstPixel(const std::shared_ptr<Texture>& texture)
    {
        auto readBack = device->newBuffer(uint64_t{texture->width()} * texture->height() * 4).value();
        auto cb = queue->commandBuffer().value();
        BlitCommandEncoder blit(cb);
        EXPECT_TRUE(blit.copyFromTexture(texture, readBack, 0, 0));
        blit.endEncoding();
        cb->commit();
        cb->waitUntilCompleted();
        EXPECT_EQ(cb->status(), CommandBufferStatus::Completed);
        uint32_t pixel = 0;
        std::memcpy(&pixel, readBack->contents(), 4);
        return pixel;
    }
};

// The frame loop of a window: a command buffer per frame, a render pass (or a
// blit pass every fourth frame), commit, and at most three frames in flight.
TEST(GpuRecycling, FrameLoopMakesNoPoolsOrFencesAfterTheFirstFrames)
{
    Fixture f;
    auto library = Library::newWithSource(kSource).value();
    RenderPipelineDescriptor d;
    d.vertexFunction = library->newFunction("vs", ShaderStage::Vertex).value();
    d.fragmentFunction = library->newFunction("fs", ShaderStage::Fragment).value();
    auto pipeline = RenderPipelineState::create(f.device, d).value();
    auto target = f.target();
    auto picture = f.filled(0xff00ff00u);
    auto readBack = f.device->newBuffer(kSize * kSize * 4).value();

    std::deque<std::shared_ptr<CommandBuffer>> inFlight;
    DeviceStatistics warm;
    constexpr int kFrames = 10000;
    constexpr int kWarmFrames = 10;
    for (int frame = 0; frame < kFrames; ++frame) {
        if (frame == kWarmFrames) warm = f.device->statistics();
        auto cb = f.queue->commandBuffer();
        ASSERT_TRUE(cb) << cb.error().reason;
        if (frame % 4 == 3) {
            BlitCommandEncoder blit(cb.value());
            ASSERT_TRUE(blit.copyFromTexture(target, readBack, 0, 0));
            blit.endEncoding();
        } else {
            RenderPassDescriptor pass;
            pass.colorTexture = target;
            auto encoder = RenderCommandEncoder::create(cb.value(), pass);
            ASSERT_TRUE(encoder) << encoder.error().reason;
            encoder.value()->setRenderPipelineState(pipeline);
            encoder.value()->setFragmentTexture(picture, 0);
            ASSERT_TRUE(encoder.value()->drawPrimitives(PrimitiveType::TriangleStrip, 0, 4));
            encoder.value()->endEncoding();
        }
        cb.value()->commit();
        inFlight.push_back(std::move(cb.value()));
        if (inFlight.size() > kFramesInFlight) {
            ASSERT_TRUE(inFlight.front()->waitUntilExecuted());
            inFlight.pop_front();
        }
    }
    for (const auto& cb : inFlight) cb->waitUntilCompleted();
    inFlight.clear();

    const DeviceStatistics done = f.device->statistics();
    EXPECT_EQ(done.commandPools, warm.commandPools);
    EXPECT_EQ(done.commandBuffers, warm.commandBuffers);
    EXPECT_EQ(done.fences, warm.fences);
    EXPECT_LE(done.commandPools, 2 * (kFramesInFlight + 2));
    std::printf("[ stats    ] after %d frames: %llu command pools, %llu command buffers, %llu fences\n", kFrames,
                static_cast<unsigned long long>(done.commandPools),
                static_cast<unsigned long long>(done.commandBuffers), static_cast<unsigned long long>(done.fences));
    // The last frames drew the picture.
    EXPECT_EQ(f.firstPixel(target), 0xff00ff00u);
}

// Uploads share one staging buffer whose space comes back once they have run,
// and each texture shows its own data to the first command buffer that reads it.
TEST(GpuRecycling, UploadsShareTheStagingRingAndLandBeforeFirstUse)
{
    Fixture f;
    std::vector<std::shared_ptr<Texture>> textures;
    for (uint32_t i = 0; i < 32; ++i) textures.push_back(f.filled(0xff000000u | i, 64));
    for (uint32_t i = 0; i < 32; i += 5) EXPECT_EQ(f.firstPixel(textures[i]), 0xff000000u | i);
    // 16 KiB a texture: 200 of them pass through the first ring buffer (1 MiB)
    // several times over, its space coming back as each copy completes.
    for (uint32_t round = 0; round < 200; ++round) {
        auto texture = f.filled(0xff0000ffu | round << 8, 64);
        EXPECT_EQ(f.firstPixel(texture), 0xff0000ffu | round << 8);
    }
    EXPECT_EQ(f.device->statistics().stagingBuffers, 1u);
}

// A texture dropped before anything was committed stays alive for the copy
// that is still to run; one filled twice or after use is refused.
TEST(GpuRecycling, DroppedTexturesOutliveTheirPendingCopy)
{
    Fixture f;
    std::weak_ptr<Texture> watched;
    {
        auto texture = f.filled(0xffffffffu);
        watched = texture;
        auto again = f.queue->replaceTextureContents(texture, [](uint8_t*) { return true; });
        EXPECT_FALSE(again);
    }
    EXPECT_FALSE(watched.expired());
    auto cb = f.queue->commandBuffer().value();
    cb->commit();
    cb->waitUntilCompleted();
    EXPECT_TRUE(watched.expired());

    auto used = f.target();
    f.firstPixel(used);
    EXPECT_FALSE(f.queue->replaceTextureContents(used, [](uint8_t*) { return true; }));
    auto refused = f.device->newTexture({PixelFormat::BGRA8Unorm, 4, 4, 1, 1, TextureUsageShaderRead}).value();
    EXPECT_FALSE(f.queue->replaceTextureContents(refused, [](uint8_t*) { return false; }));
}

// One thread makes textures with contents while another commits command
// buffers that read them back: every copy lands, whichever commit carries it.
TEST(GpuRecycling, TexturesFilledWhileAnotherThreadCommits)
{
    Fixture f;
    std::atomic<bool> stop{false};
    std::thread committer([&] {
        while (!stop.load()) {
            auto cb = f.queue->commandBuffer().value();
            cb->commit();
            EXPECT_TRUE(cb->waitUntilExecuted());
        }
    });
    for (uint32_t i = 0; i < 100; ++i) {
        auto texture = f.filled(0xff000000u | i * 2501u, 16);
        EXPECT_EQ(f.firstPixel(texture), 0xff000000u | i * 2501u);
    }
    stop = true;
    committer.join();
}

}  // namespace
