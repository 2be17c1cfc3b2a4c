#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "metal/texture.hpp"
#include "platform/gpu/blit_command_encoder.hpp"
#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/texture.hpp"
#include "platform/image/bitmap_context.hpp"
#include "platform/image/image_source.hpp"

using namespace quendal::gpu;
using quendal::image::BitmapContext;
using quendal::image::ImageSource;

namespace {

constexpr uint32_t kRenderUsage = TextureUsageShaderRead | TextureUsageShaderWrite | TextureUsageRenderTarget;

std::shared_ptr<Device> sharedDevice()
{
    static auto device = Device::createSystemDefault();
    return device ? device.value() : nullptr;
}

std::shared_ptr<CommandQueue> sharedQueue()
{
    static auto queue = sharedDevice()->newCommandQueue();
    return queue ? queue.value() : nullptr;
}

std::shared_ptr<Texture> makeTexture(PixelFormat format, uint32_t width, uint32_t height, uint32_t usage = kRenderUsage,
                                     uint32_t samples = 1, uint32_t levels = 1)
{
    auto texture = sharedDevice()->newTexture({format, width, height, samples, levels, usage});
    EXPECT_TRUE(texture) << texture.error().reason;
    return texture ? texture.value() : nullptr;
}

std::shared_ptr<Buffer> makeBuffer(uint64_t length, unsigned char fill)
{
    auto buffer = sharedDevice()->newBuffer(length).value();
    std::memset(buffer->contents(), fill, length);
    return buffer;
}

// Records with encode, then commits and waits; the encoders' own results must all succeed.
void runCommands(const std::function<void(CommandBuffer&)>& encode)
{
    auto cb = sharedQueue()->commandBuffer();
    ASSERT_TRUE(cb) << cb.error().reason;
    encode(*cb.value());
    cb.value()->commit();
    cb.value()->waitUntilCompleted();
    EXPECT_EQ(cb.value()->status(), CommandBufferStatus::Completed);
}

BlitCommandEncoder blit(CommandBuffer& cb)
{
    return BlitCommandEncoder(cb.shared_from_this());
}

const unsigned char* bytes(const std::shared_ptr<Buffer>& buffer)
{
    return static_cast<const unsigned char*>(buffer->contents());
}

}  // namespace

TEST(GpuTexture, RenderTexturesForEveryColourFormat)
{
    for (PixelFormat format : {PixelFormat::BGRA8Unorm, PixelFormat::RGBA8Unorm, PixelFormat::RGBA16Float,
                               PixelFormat::R8Unorm, PixelFormat::R16Float, PixelFormat::R32Float,
                               PixelFormat::RG16Float, PixelFormat::RG32Float}) {
        auto texture = makeTexture(format, 640, 480);
        ASSERT_TRUE(texture);
        EXPECT_EQ(texture->pixelFormat(), format);
        EXPECT_EQ(texture->width(), 640u);
        EXPECT_EQ(texture->height(), 480u);
        EXPECT_EQ(texture->sampleCount(), 1u);
        EXPECT_EQ(texture->mipmapLevelCount(), 1u);
        EXPECT_EQ(texture->aspect(), VkImageAspectFlags{VK_IMAGE_ASPECT_COLOR_BIT});
        EXPECT_EQ(texture->layout(), texture->restingLayout());  // placed there when made
        EXPECT_EQ(texture->restingLayout(), VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL);
        // Storage is granted exactly where the format allows it.
        const bool storable = sharedDevice()->formatProperties(vkFormat(format)).optimalTilingFeatures &
                              VK_FORMAT_FEATURE_STORAGE_IMAGE_BIT;
        EXPECT_EQ(texture->supportsShaderWrite(), storable);
    }
}

TEST(GpuTexture, DepthStencilAndMultisampleAttachments)
{
    auto depth = makeTexture(PixelFormat::Depth32Float, 64, 32, TextureUsageRenderTarget);
    auto stencil = makeTexture(PixelFormat::Stencil8, 64, 32, TextureUsageRenderTarget);
    auto both = makeTexture(PixelFormat::Depth32FloatStencil8, 64, 32, TextureUsageRenderTarget);
    ASSERT_TRUE(depth && stencil && both);
    EXPECT_EQ(depth->aspect(), VkImageAspectFlags{VK_IMAGE_ASPECT_DEPTH_BIT});
    EXPECT_EQ(stencil->aspect(), VkImageAspectFlags{VK_IMAGE_ASPECT_STENCIL_BIT});
    EXPECT_EQ(both->aspect(), VkImageAspectFlags{VK_IMAGE_ASPECT_DEPTH_BIT | VK_IMAGE_ASPECT_STENCIL_BIT});
    EXPECT_NE(both->view(), both->attachmentView());
    EXPECT_FALSE(both->supportsShaderWrite());

    auto msaa = makeTexture(PixelFormat::BGRA8Unorm, 64, 32, TextureUsageRenderTarget, 4);
    ASSERT_TRUE(msaa);
    EXPECT_EQ(msaa->sampleCount(), 4u);
    runCommands([&](CommandBuffer& cb) {
        both->transition(cb, VK_IMAGE_LAYOUT_ATTACHMENT_OPTIMAL, VK_PIPELINE_STAGE_2_EARLY_FRAGMENT_TESTS_BIT,
                         VK_ACCESS_2_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT);
        msaa->transition(cb, VK_IMAGE_LAYOUT_ATTACHMENT_OPTIMAL, VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT,
                         VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT);
    });
    EXPECT_EQ(both->layout(), VK_IMAGE_LAYOUT_ATTACHMENT_OPTIMAL);
}

TEST(GpuTexture, RefusesWhatTheDeviceCannotHold)
{
    auto device = sharedDevice();
    const uint32_t maxSide = device->properties().limits.maxImageDimension2D;
    auto refused = [&](TextureDescriptor d) {
        auto texture = device->newTexture(d);
        EXPECT_FALSE(texture);
        return texture ? std::string() : texture.error().reason;
    };
    EXPECT_FALSE(refused({PixelFormat::BGRA8Unorm, 0, 10}).empty());
    EXPECT_FALSE(refused({PixelFormat::BGRA8Unorm, maxSide + 1, 1, 1, 1, kRenderUsage}).empty());
    EXPECT_FALSE(refused({PixelFormat::BGRA8Unorm, 8, 8, 3, 1, kRenderUsage}).empty());
    EXPECT_FALSE(refused({PixelFormat::BGRA8Unorm, 8, 8, 64, 1, kRenderUsage}).empty());
    EXPECT_FALSE(refused({PixelFormat::BGRA8Unorm, 8, 8, 1, 5, kRenderUsage}).empty());
    EXPECT_FALSE(refused({PixelFormat::Invalid, 8, 8}).empty());
}

TEST(GpuTexture, DefaultSamplerIsMadeOnce)
{
    VkSampler first = sharedDevice()->defaultSampler();
    EXPECT_NE(first, VK_NULL_HANDLE);
    EXPECT_EQ(sharedDevice()->defaultSampler(), first);
}

TEST(GpuBlit, UploadedTextureCopiesBackByteForByte)
{
    const uint32_t w = 5, h = 3;
    auto texture = makeTexture(PixelFormat::RGBA8Unorm, w, h);
    auto source = makeBuffer(w * h * 4, 0);
    for (uint32_t i = 0; i < w * h * 4; ++i) static_cast<unsigned char*>(source->contents())[i] = i * 3 + 1;
    auto destination = makeBuffer(w * h * 4, 0xEE);
    runCommands([&](CommandBuffer& cb) {
        EXPECT_TRUE(blit(cb).copyFromBuffer(source, 0, 0, texture));
        EXPECT_TRUE(blit(cb).copyFromTexture(texture, destination, 0, 0));
    });
    EXPECT_EQ(std::memcmp(bytes(destination), bytes(source), w * h * 4), 0);
    EXPECT_EQ(texture->layout(), VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL);
}

TEST(GpuBlit, CopyHonoursRowPaddingAndOffsets)
{
    const uint32_t w = 3, h = 4;
    auto texture = makeTexture(PixelFormat::RGBA8Unorm, w, h);
    auto source = makeBuffer(w * h * 4, 0);
    for (uint32_t i = 0; i < w * h * 4; ++i) static_cast<unsigned char*>(source->contents())[i] = 0x10 + i;
    // 20 is a whole number of pixels; 19 and an offset of 1 are not, and take the staging path.
    for (uint64_t stride : {20u, 19u}) {
        for (uint64_t offset : {0u, 1u, 8u}) {
            SCOPED_TRACE("stride " + std::to_string(stride) + " offset " + std::to_string(offset));
            const uint64_t length = offset + stride * (h - 1) + w * 4;
            auto destination = makeBuffer(length + 5, 0xEE);
            runCommands([&](CommandBuffer& cb) {
                EXPECT_TRUE(blit(cb).copyFromBuffer(source, 0, 0, texture));
                EXPECT_TRUE(blit(cb).copyFromTexture(texture, destination, offset, stride));
            });
            std::vector<unsigned char> expected(length + 5, 0xEE);
            for (uint32_t y = 0; y < h; ++y) {
                std::memcpy(&expected[offset + y * stride], bytes(source) + y * w * 4, w * 4);
            }
            EXPECT_EQ(std::memcmp(bytes(destination), expected.data(), expected.size()), 0);
        }
    }
}

TEST(GpuBlit, UploadAcceptsPaddedRows)
{
    const uint32_t w = 3, h = 2;
    auto texture = makeTexture(PixelFormat::R8Unorm, w, h);
    auto source = makeBuffer(16, 0);
    const unsigned char rows[] = {1, 2, 3, 0, 0, 4, 5, 6};  // stride 5, starting at offset 3
    std::memcpy(static_cast<unsigned char*>(source->contents()) + 3, rows, sizeof rows);
    auto destination = makeBuffer(w * h, 0);
    runCommands([&](CommandBuffer& cb) {
        EXPECT_TRUE(blit(cb).copyFromBuffer(source, 3, 5, texture));
        EXPECT_TRUE(blit(cb).copyFromTexture(texture, destination, 0, 0));
    });
    const unsigned char expected[] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(std::memcmp(bytes(destination), expected, sizeof expected), 0);
}

TEST(GpuBlit, RefusesCopiesOutsideTheBuffer)
{
    auto texture = makeTexture(PixelFormat::RGBA8Unorm, 4, 2);
    auto buffer = makeBuffer(32, 0);
    auto msaa = makeTexture(PixelFormat::RGBA8Unorm, 4, 2, TextureUsageRenderTarget, 4);
    auto both = makeTexture(PixelFormat::Depth32FloatStencil8, 4, 2, TextureUsageRenderTarget);
    runCommands([&](CommandBuffer& cb) {
        EXPECT_TRUE(blit(cb).copyFromTexture(texture, buffer, 0, 16));
        EXPECT_FALSE(blit(cb).copyFromTexture(texture, buffer, 0, 15));
        EXPECT_FALSE(blit(cb).copyFromTexture(texture, buffer, 1, 16));
        EXPECT_FALSE(blit(cb).copyFromTexture(texture, buffer, 0, 17));
        EXPECT_FALSE(blit(cb).copyFromTexture(texture, buffer, UINT64_MAX - 4, 16));
        EXPECT_FALSE(blit(cb).copyFromTexture(texture, buffer, 0, UINT64_MAX / 2));
        EXPECT_FALSE(blit(cb).copyFromBuffer(buffer, 8, 16, texture));
        EXPECT_FALSE(blit(cb).copyFromTexture(msaa, buffer, 0, 0));
        auto refused = blit(cb).copyFromTexture(both, makeBuffer(64, 0), 0, 0);
        ASSERT_FALSE(refused);
        EXPECT_NE(refused.error().reason.find("depth and stencil"), std::string::npos);
    });
}

TEST(GpuBlit, MipmapGenerationIsCleanForOneLevelAndMany)
{
    auto single = makeTexture(PixelFormat::BGRA8Unorm, 8, 8);
    auto chain = makeTexture(PixelFormat::RGBA16Float, 16, 4, kRenderUsage, 1, 5);
    ASSERT_TRUE(single && chain);
    auto source = makeBuffer(16 * 4 * 8, 0x3C);
    auto levelZero = makeBuffer(16 * 4 * 8, 0);
    runCommands([&](CommandBuffer& cb) {
        EXPECT_TRUE(blit(cb).generateMipmaps(single));
        EXPECT_TRUE(blit(cb).copyFromBuffer(source, 0, 0, chain));
        EXPECT_TRUE(blit(cb).generateMipmaps(chain));
        EXPECT_TRUE(blit(cb).copyFromTexture(chain, levelZero, 0, 0));
    });
    EXPECT_EQ(chain->layout(), VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL);
    EXPECT_EQ(std::memcmp(bytes(levelZero), bytes(source), 16 * 4 * 8), 0);
    auto msaa = makeTexture(PixelFormat::BGRA8Unorm, 8, 8, TextureUsageRenderTarget, 4);
    runCommands([&](CommandBuffer& cb) { EXPECT_TRUE(blit(cb).generateMipmaps(msaa)); });
}

class ImageFile : public testing::Test {
protected:
    void TearDown() override
    {
        if (!path_.empty()) std::remove(path_.c_str());
    }

    // Straight-alpha RGBA rows, top row first, saved as PNG by gdk-pixbuf.
    std::string writePng(const std::vector<unsigned char>& rgba, int width, int height)
    {
        path_ = tempPath(".png");
        GdkPixbuf* pixbuf = gdk_pixbuf_new_from_data(rgba.data(), GDK_COLORSPACE_RGB, TRUE, 8, width, height,
                                                     width * 4, nullptr, nullptr);
        EXPECT_TRUE(gdk_pixbuf_save(pixbuf, path_.c_str(), "png", nullptr, nullptr));
        g_object_unref(pixbuf);
        return path_;
    }

    std::string writeText(const char* text)
    {
        path_ = tempPath(".txt");
        FILE* f = std::fopen(path_.c_str(), "w");
        std::fputs(text, f);
        std::fclose(f);
        return path_;
    }

private:
    static std::string tempPath(const char* suffix)
    {
        return testing::TempDir() + "quendal-image-" + std::to_string(getpid()) + suffix;
    }
    std::string path_;
};

TEST_F(ImageFile, DecodesTopRowFirstPremultipliedIntoATexture)
{
    const std::vector<unsigned char> rgba = {
        255, 0,   0,   255, 0,   255, 0,   255, 0, 0, 255, 255,  // red, green, blue
        255, 0,   0,   128, 255, 255, 255, 255, 9, 9, 9,   0,    // half red, white, clear
    };
    auto source = ImageSource::createWithPath(writePng(rgba, 3, 2));
    ASSERT_TRUE(source);
    EXPECT_EQ(source->pixelSizeAtIndex(0), std::make_pair(3u, 2u));
    auto image = source->createImageAtIndex(0);
    ASSERT_TRUE(image);
    ASSERT_EQ(image->width(), 3u);
    ASSERT_EQ(image->height(), 2u);

    auto staging = makeBuffer(3 * 2 * 4, 0);
    {
        BitmapContext context(staging->contents(), 3, 2, 12);
        ASSERT_TRUE(context.valid());
        context.drawImage(*image, 0, 0, 3, 2);
    }
    auto texture = makeTexture(PixelFormat::BGRA8Unorm, 3, 2, TextureUsageShaderRead);
    auto readBack = makeBuffer(3 * 2 * 4, 0xEE);
    runCommands([&](CommandBuffer& cb) {
        EXPECT_TRUE(blit(cb).copyFromBuffer(staging, 0, 12, texture));
        EXPECT_TRUE(blit(cb).copyFromTexture(texture, readBack, 0, 0));
    });
    const unsigned char expected[] = {
        0,   0,   255, 255, 0,   255, 0,   255, 255, 0, 0, 255,  // B, G, R, A
        0,   0,   128, 128, 255, 255, 255, 255, 0,   0, 0, 0,
    };
    EXPECT_EQ(std::memcmp(bytes(readBack), expected, sizeof expected), 0);
}

TEST_F(ImageFile, CopyImageWritesWhatDrawingOverClearMemoryDoes)
{
    std::vector<unsigned char> rgba;
    for (int i = 0; i < 5 * 3; ++i) {
        const auto v = static_cast<unsigned char>(i * 17);
        rgba.insert(rgba.end(), {v, static_cast<unsigned char>(255 - v), static_cast<unsigned char>(v * 3),
                                 static_cast<unsigned char>(i * 18)});
    }
    auto image = ImageSource::createWithPath(writePng(rgba, 5, 3))->createImageAtIndex(0);
    ASSERT_TRUE(image);
    std::vector<unsigned char> drawn(5 * 3 * 4, 0);
    std::vector<unsigned char> copied(5 * 3 * 4, 0xAB);  // whatever was there is replaced
    BitmapContext(drawn.data(), 5, 3, 20).drawImage(*image, 0, 0, 5, 3);
    EXPECT_TRUE(BitmapContext(copied.data(), 5, 3, 20).copyImage(*image));
    EXPECT_EQ(copied, drawn);

    std::vector<unsigned char> other(4 * 3 * 4, 0xAB);
    EXPECT_FALSE(BitmapContext(other.data(), 4, 3, 16).copyImage(*image));
    EXPECT_EQ(other, std::vector<unsigned char>(4 * 3 * 4, 0xAB));
}

TEST_F(ImageFile, CopyImagePremultipliesEveryChannelAndAlphaRounded)
{
    std::vector<unsigned char> rgba;
    for (int a = 0; a < 256; ++a) {
        for (int c = 0; c < 256; ++c) {
            rgba.insert(rgba.end(), {static_cast<unsigned char>(c), static_cast<unsigned char>(255 - c),
                                     static_cast<unsigned char>(c ^ 0x5A), static_cast<unsigned char>(a)});
        }
    }
    auto image = ImageSource::createWithPath(writePng(rgba, 256, 256))->createImageAtIndex(0);
    ASSERT_TRUE(image);
    std::vector<unsigned char> out(256 * 256 * 4);
    ASSERT_TRUE(BitmapContext(out.data(), 256, 256, 1024).copyImage(*image));
    auto scaled = [](int c, int a) { return static_cast<unsigned char>((c * a + 127) / 255); };
    int wrong = 0;
    for (int a = 0; a < 256; ++a) {
        for (int c = 0; c < 256; ++c) {
            const unsigned char* px = &out[(a * 256 + c) * 4];  // B, G, R, A
            wrong += px[0] != scaled(c ^ 0x5A, a) || px[1] != scaled(255 - c, a) || px[2] != scaled(c, a) ||
                     px[3] != a;
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(ImageFile, TextIsReadButNotDecoded)
{
    auto source = ImageSource::createWithPath(writeText("not an image\n"));
    ASSERT_TRUE(source);
    EXPECT_FALSE(source->pixelSizeAtIndex(0));
    EXPECT_FALSE(source->createImageAtIndex(0));
    EXPECT_FALSE(ImageSource::createWithPath(testing::TempDir() + "quendal-no-such-file.png"));
    EXPECT_FALSE(ImageSource::createWithPath(testing::TempDir()));
}

TEST(BitmapContextTest, RefusesStridesCairoCannotUse)
{
    unsigned char memory[64];
    EXPECT_FALSE(BitmapContext(memory, 4, 2, 15).valid());
    EXPECT_FALSE(BitmapContext(memory, 4, 2, 18).valid());
    EXPECT_FALSE(BitmapContext(memory, 0, 2, 16).valid());
    EXPECT_TRUE(BitmapContext(memory, 4, 2, 32).valid());
}

TEST(TextureEstimate, CountsSamplesTimesPixelsTimesBytesPerPixel)
{
    using quendal::metal::estimatedTextureBytes;
    EXPECT_EQ(estimatedTextureBytes(nullptr), 0u);
    EXPECT_EQ(estimatedTextureBytes(makeTexture(PixelFormat::BGRA8Unorm, 100, 50).get()), 20000u);
    EXPECT_EQ(estimatedTextureBytes(makeTexture(PixelFormat::R8Unorm, 100, 50).get()), 5000u);
    EXPECT_EQ(estimatedTextureBytes(makeTexture(PixelFormat::RGBA16Float, 100, 50).get()), 40000u);
    EXPECT_EQ(estimatedTextureBytes(makeTexture(PixelFormat::RGBA16Float, 256, 256).get()), 524288u);
    EXPECT_EQ(estimatedTextureBytes(makeTexture(PixelFormat::R16Float, 100, 50).get()), 10000u);
    EXPECT_EQ(estimatedTextureBytes(makeTexture(PixelFormat::RG32Float, 100, 50).get()), 40000u);
    EXPECT_EQ(estimatedTextureBytes(makeTexture(PixelFormat::R32Float, 100, 50).get()), 20000u);
    auto depthStencil = makeTexture(PixelFormat::Depth32FloatStencil8, 100, 50, TextureUsageRenderTarget);
    EXPECT_EQ(estimatedTextureBytes(depthStencil.get()), 25000u);
    auto stencil = makeTexture(PixelFormat::Stencil8, 100, 50, TextureUsageRenderTarget);
    EXPECT_EQ(estimatedTextureBytes(stencil.get()), 5000u);
    auto msaa = makeTexture(PixelFormat::BGRA8Unorm, 100, 50, TextureUsageRenderTarget, 4);
    EXPECT_EQ(estimatedTextureBytes(msaa.get()), 80000u);
    // Mipmap levels are not counted.
    EXPECT_EQ(estimatedTextureBytes(makeTexture(PixelFormat::BGRA8Unorm, 100, 50, kRenderUsage, 1, 3).get()), 20000u);
}
