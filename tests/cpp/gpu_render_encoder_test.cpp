// The render command encoder without a window: pixels of offscreen passes read
// back through the blit path, so that headless machines check them too.
#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "platform/gpu/blit_command_encoder.hpp"
#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/depth_stencil_state.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/library.hpp"
#include "platform/gpu/render_command_encoder.hpp"
#include "platform/gpu/render_pipeline.hpp"
#include "platform/gpu/texture.hpp"

using namespace quendal::gpu;

namespace {

const char* kSource = R"(
#ifdef QUENDAL_VERTEX
layout(set = 0, binding = 0) readonly buffer V { vec4 v[]; };
void vs() { gl_Position = vec4(v[gl_VertexIndex].xyz, 1.0); }
#endif
#ifdef QUENDAL_FRAGMENT
layout(set = 1, binding = 0) uniform C { vec4 c; };
layout(location = 0) out vec4 color;
void fs() { color = c; }
#endif
)";

constexpr uint32_t kSize = 16;

struct Fixture {
    std::shared_ptr<Device> device = Device::createSystemDefault().value();
    std::shared_ptr<CommandQueue> queue = device->newCommandQueue().value();
    std::shared_ptr<Library> library = Library::newWithSource(kSource).value();

    std::shared_ptr<RenderPipelineState> pipeline(uint32_t samples, PixelFormat depth = PixelFormat::Invalid)
    {
        RenderPipelineDescriptor d;
        d.vertexFunction = library->newFunction("vs", ShaderStage::Vertex).value();
        d.fragmentFunction = library->newFunction("fs", ShaderStage::Fragment).value();
        d.rasterSampleCount = samples;
        d.depthAttachmentPixelFormat = depth;
        auto state = RenderPipelineState::create(device, d);
        EXPECT_TRUE(state) << state.error().reason;
        return state.value();
    }

    std::shared_ptr<Buffer> floats(std::initializer_list<float> values)
    {
        auto buffer = device->newBuffer(values.size() * sizeof(float)).value();
        std::memcpy(buffer->contents(), values.begin(), values.size() * sizeof(float));
        return buffer;
    }

    std::shared_ptr<Texture> texture(PixelFormat format, uint32_t samples = 1)
    {
        uint32_t usage = TextureUsageRenderTarget;
        if (samples == 1 && format == PixelFormat::BGRA8Unorm) usage |= TextureUsageShaderRead;
        return device->newTexture({format, kSize, kSize, samples, 1, usage}).value();
    }

    // BGRA bytes of target after encode ran in one pass.
    std::vector<uint8_t> render(const RenderPassDescriptor& pass, const std::function<void(RenderCommandEncoder&)>& encode)
    {
        auto cb = queue->commandBuffer().value();
        auto encoder = RenderCommandEncoder::create(cb, pass);
        EXPECT_TRUE(encoder) << encoder.error().reason;
        encode(*encoder.value());
        encoder.value()->endEncoding();
        const auto& target = pass.resolveTexture ? pass.resolveTexture : pass.colorTexture;
        auto readBack = device->newBuffer(kSize * kSize * 4).value();
        EXPECT_TRUE(BlitCommandEncoder(cb).copyFromTexture(target, readBack, 0, 0));
        cb->commit();
        cb->waitUntilCompleted();
        EXPECT_EQ(cb->status(), CommandBufferStatus::Completed);
        const auto* bytes = static_cast<const uint8_t*>(readBack->contents());
        return {bytes, bytes + kSize * kSize * 4};
    }
};

uint8_t red(const std::vector<uint8_t>& bgra, uint32_t x, uint32_t y)
{
    return bgra[(y * kSize + x) * 4 + 2];
}

TEST(RenderCommandEncoder, ClearsAndDrawsWithYUp)
{
    Fixture f;
    RenderPassDescriptor pass;
    pass.colorTexture = f.texture(PixelFormat::BGRA8Unorm);
    pass.clearColor = {0, 0, 1, 1};
    auto pixels = f.render(pass, [&](RenderCommandEncoder& e) {
        e.setRenderPipelineState(f.pipeline(1));
        e.setVertexBuffer(f.floats({-1, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0}), 0, 0);
        e.setFragmentBuffer(f.floats({1, 0, 0, 1}), 0, 0);
        ASSERT_TRUE(e.drawPrimitives(PrimitiveType::Triangle, 0, 3));
    });
    EXPECT_EQ(red(pixels, 8, 4), 255);   // top half
    EXPECT_EQ(red(pixels, 8, 12), 0);    // bottom half: the clear
    EXPECT_EQ(pixels[(12 * kSize + 8) * 4], 255);
}

TEST(RenderCommandEncoder, MultisampleResolveAveragesEdges)
{
    Fixture f;
    RenderPassDescriptor pass;
    pass.colorTexture = f.texture(PixelFormat::BGRA8Unorm, 4);
    pass.resolveTexture = f.texture(PixelFormat::BGRA8Unorm);
    auto pixels = f.render(pass, [&](RenderCommandEncoder& e) {
        // A pipeline made for one sample draws into the 4-sample pass through a variant.
        e.setRenderPipelineState(f.pipeline(1));
        e.setVertexBuffer(f.floats({-1, -1, 0, 0, 1, -0.8f, 0, 0, -1, 1, 0, 0}), 0, 0);
        e.setFragmentBuffer(f.floats({1, 1, 1, 1}), 0, 0);
        ASSERT_TRUE(e.drawPrimitives(PrimitiveType::Triangle, 0, 3));
    });
    bool blended = false;
    for (uint32_t i = 0; i < kSize * kSize; ++i) blended |= pixels[i * 4 + 2] > 0 && pixels[i * 4 + 2] < 255;
    EXPECT_TRUE(blended);
}

TEST(RenderCommandEncoder, DepthTestOnlyWithADepthPipeline)
{
    Fixture f;
    auto near = f.floats({-1, -1, 0.2f, 0, 3, -1, 0.2f, 0, -1, 3, 0.2f, 0});
    auto far = f.floats({-1, -1, 0.8f, 0, 3, -1, 0.8f, 0, -1, 3, 0.8f, 0});
    DepthStencilDescriptor less;
    less.depthCompare = CompareFunction::Less;
    less.depthWriteEnabled = true;
    auto state = std::make_shared<DepthStencilState>(less);
    for (bool declared : {true, false}) {
        RenderPassDescriptor pass;
        pass.colorTexture = f.texture(PixelFormat::BGRA8Unorm);
        pass.depthTexture = f.texture(PixelFormat::Depth32Float);
        auto pixels = f.render(pass, [&](RenderCommandEncoder& e) {
            e.setRenderPipelineState(f.pipeline(1, declared ? PixelFormat::Depth32Float : PixelFormat::Invalid));
            e.setDepthStencilState(state);
            e.setVertexBuffer(near, 0, 0);
            e.setFragmentBuffer(f.floats({1, 0, 0, 1}), 0, 0);
            ASSERT_TRUE(e.drawPrimitives(PrimitiveType::Triangle, 0, 3));
            e.setVertexBuffer(far, 0, 0);
            e.setFragmentBuffer(f.floats({0, 0, 0, 1}), 0, 0);
            ASSERT_TRUE(e.drawPrimitives(PrimitiveType::Triangle, 0, 3));
        });
        EXPECT_EQ(red(pixels, 4, 4), declared ? 255 : 0) << declared;
    }
}

TEST(RenderCommandEncoder, RefusesDrawsItCannotMake)
{
    Fixture f;
    auto cb = f.queue->commandBuffer().value();
    RenderPassDescriptor pass;
    pass.colorTexture = f.texture(PixelFormat::BGRA8Unorm);
    auto encoder = RenderCommandEncoder::create(cb, pass).value();
    EXPECT_FALSE(encoder->drawPrimitives(PrimitiveType::Triangle, 0, 3));  // no pipeline
    encoder->setRenderPipelineState(f.pipeline(1));
    auto indices = f.device->newBuffer(6).value();
    EXPECT_FALSE(encoder->drawIndexedPrimitives(PrimitiveType::Triangle, 4, IndexType::UInt16, indices, 0));
    EXPECT_FALSE(encoder->drawIndexedPrimitives(PrimitiveType::Triangle, 1, IndexType::UInt32, indices, 2));
    EXPECT_FALSE(encoder->drawPrimitives(PrimitiveType::Triangle, indices, 0));
    EXPECT_FALSE(encoder->drawPrimitives(PrimitiveType::Triangle, 0, uint64_t{1} << 32));
    EXPECT_TRUE(encoder->drawPrimitives(PrimitiveType::Triangle, 0, 3));
    encoder->endEncoding();
    EXPECT_EQ(pass.colorTexture->layout(), pass.colorTexture->restingLayout());
}

}  // namespace
