// The shader compiler, reflection, the binding model, and pipelines that really
// run: a compute kernel specialised per threadgroup size and a render pipeline
// whose blending is read back from the pixels it drew.
#include <cstring>

#include <gtest/gtest.h>

#include "platform/gpu/buffer.hpp"
#include "platform/gpu/command_buffer.hpp"
#include "platform/gpu/command_queue.hpp"
#include "platform/gpu/compute_pipeline.hpp"
#include "platform/gpu/device.hpp"
#include "platform/gpu/library.hpp"
#include "platform/gpu/render_pipeline.hpp"

using namespace quendal::gpu;

namespace {

std::shared_ptr<Device> sharedDevice()
{
    static auto device = Device::createSystemDefault();
    return device ? device.value() : nullptr;
}

const char* kLibrary = R"(
#ifdef QUENDAL_VERTEX
void fullscreen() {
    vec2 p = vec2((gl_VertexIndex << 1) & 2, gl_VertexIndex & 2);
    gl_Position = vec4(p * 2.0 - 1.0, 0.0, 1.0);
}
#endif
#ifdef QUENDAL_FRAGMENT
layout(set = 1, binding = 2) uniform Paint { vec4 paint; };
layout(set = 2, binding = 5) uniform sampler2D unused;
layout(location = 0) out vec4 color;
void solid() { color = paint; }
void textured() { color = texture(unused, vec2(0.5)); }
#endif
#ifdef QUENDAL_COMPUTE
layout(set = 0, binding = 1) buffer Values { uint values[]; };
void sizes() { values[gl_GlobalInvocationID.x] = gl_WorkGroupSize.x * 1000u + gl_LocalInvocationID.x; }
#endif
)";

std::shared_ptr<Library> library()
{
    auto made = Library::newWithSource(kLibrary);
    EXPECT_TRUE(made) << made.error().reason;
    return made ? made.value() : nullptr;
}

std::shared_ptr<Function> function(Library& lib, const char* name, ShaderStage stage)
{
    auto found = lib.newFunction(name, stage);
    EXPECT_TRUE(found) << found.error().reason;
    EXPECT_TRUE(found && found.value()) << name;
    return found ? found.value() : nullptr;
}

void pushBuffer(CommandBuffer& cb, VkPipelineBindPoint point, const PipelineLayout& layout,
                const ResourceBinding& binding, const Buffer& buffer)
{
    VkDescriptorBufferInfo info{buffer.vk(), 0, VK_WHOLE_SIZE};
    VkWriteDescriptorSet write{VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
    write.dstBinding = binding.pushBinding;
    write.descriptorCount = 1;
    write.descriptorType = binding.type;
    write.pBufferInfo = &info;
    cb.device()->functions().cmdPushDescriptorSet(cb.vk(), point, layout.vk(), kPushSet, 1, &write);
}

}  // namespace

TEST(ShaderCompiler, PreambleKeepsTheUsersLineNumbers)
{
    const std::string source = "void main() {\n  int x = 1;\n  y = x;\n}\n";
    for (ShaderStage stage : {ShaderStage::Vertex, ShaderStage::Compute}) {
        auto log = parseForStage(source, stage);
        ASSERT_TRUE(log);
        EXPECT_EQ(log->rfind("ERROR: 0:3: 'y' : undeclared identifier", 0), 0u) << *log;
    }
}

TEST(ShaderCompiler, FindsEntryPointsPerStageWithoutTheSpuriousMainLine)
{
    auto vertex = compileEntryPoint(kLibrary, ShaderStage::Vertex, "fullscreen");
    EXPECT_TRUE(vertex.found);
    EXPECT_FALSE(vertex.spirv.empty());
    EXPECT_EQ(vertex.log.find("Source entry point"), std::string::npos);
    EXPECT_FALSE(compileEntryPoint(kLibrary, ShaderStage::Vertex, "solid").found);
    EXPECT_FALSE(compileEntryPoint(kLibrary, ShaderStage::Fragment, "absent").found);
    auto entries = spirvEntryPoints(vertex.spirv);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries.value().size(), 1u);
    EXPECT_EQ(entries.value()[0].name, "fullscreen");
}

TEST(ShaderReflection, MapsTheBindingModelOntoOnePushSet)
{
    auto lib = library();
    auto vertex = function(*lib, "fullscreen", ShaderStage::Vertex);
    auto fragment = function(*lib, "textured", ShaderStage::Fragment);
    ASSERT_EQ(fragment->interface().resources.size(), 1u);
    const ShaderResource& texture = fragment->interface().resources[0];
    EXPECT_EQ(texture.set, 2u);
    EXPECT_EQ(texture.binding, 5u);
    EXPECT_EQ(texture.type, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER);

    RenderPipelineDescriptor d;
    d.vertexFunction = vertex;
    d.fragmentFunction = fragment;
    auto state = RenderPipelineState::create(sharedDevice(), d);
    ASSERT_TRUE(state) << state.error().reason;
    const PipelineLayout& layout = state.value()->layout();
    const ResourceBinding* binding = layout.find(BindingSpace::FragmentTexture, 5);
    ASSERT_NE(binding, nullptr);
    EXPECT_EQ(binding->pushBinding, 2 * kBindingsPerSet + 5);
    EXPECT_EQ(binding->stages, VkShaderStageFlags(VK_SHADER_STAGE_FRAGMENT_BIT));
    EXPECT_EQ(layout.find(BindingSpace::FragmentBuffer, 5), nullptr);
    EXPECT_EQ(layout.setTypes(2).at(5), VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER);
    EXPECT_TRUE(layout.setTypes(0).empty());
}

TEST(ComputePipeline, SpecialisesEachThreadgroupSizeOnceAndRunsAfterItsLibraryIsGone)
{
    auto device = sharedDevice();
    std::shared_ptr<ComputePipelineState> state;
    {
        auto lib = library();
        auto made = ComputePipelineState::create(device, function(*lib, "sizes", ShaderStage::Compute));
        ASSERT_TRUE(made) << made.error().reason;
        state = made.value();
    }
    EXPECT_EQ(state->specializationCount(), 1u);
    auto pipeline = state->pipelineFor(64, 1, 1);
    ASSERT_TRUE(pipeline) << pipeline.error().reason;
    EXPECT_EQ(state->pipelineFor(64, 1, 1).value(), pipeline.value());
    EXPECT_EQ(state->specializationCount(), 2u);
    EXPECT_FALSE(state->pipelineFor(0, 1, 1));
    EXPECT_FALSE(state->pipelineFor(state->maxTotalThreadsPerThreadgroup() + 1, 1, 1));

    const ResourceBinding* values = state->layout().find(BindingSpace::ComputeBuffer, 1);
    ASSERT_NE(values, nullptr);
    auto buffer = device->newBuffer(4 * 300).value();
    std::memset(buffer->contents(), 0xFF, 4 * 300);
    auto queue = device->newCommandQueue().value();
    auto cb = queue->commandBuffer().value();
    vkCmdBindPipeline(cb->vk(), VK_PIPELINE_BIND_POINT_COMPUTE, pipeline.value());
    pushBuffer(*cb, VK_PIPELINE_BIND_POINT_COMPUTE, state->layout(), *values, *buffer);
    vkCmdDispatch(cb->vk(), 4, 1, 1);
    cb->retain(state);
    cb->commit();
    cb->waitUntilCompleted();
    const auto* out = static_cast<const uint32_t*>(buffer->contents());
    EXPECT_EQ(out[0], 64000u);
    EXPECT_EQ(out[63], 64063u);
    EXPECT_EQ(out[64], 64000u);
    EXPECT_EQ(out[255], 64063u);
    EXPECT_EQ(out[256], 0xFFFFFFFFu);
}

class RenderPipelineDraw : public testing::Test {
protected:
    static constexpr uint32_t kSize = 4;

    void SetUp() override
    {
        device_ = sharedDevice();
        VkImageCreateInfo info{VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO};
        info.imageType = VK_IMAGE_TYPE_2D;
        info.format = VK_FORMAT_R8G8B8A8_UNORM;
        info.extent = {kSize, kSize, 1};
        info.mipLevels = info.arrayLayers = 1;
        info.samples = VK_SAMPLE_COUNT_1_BIT;
        info.tiling = VK_IMAGE_TILING_OPTIMAL;
        info.usage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
        ASSERT_EQ(vkCreateImage(device_->vk(), &info, nullptr, &image_), VK_SUCCESS);
        VkMemoryRequirements req;
        vkGetImageMemoryRequirements(device_->vk(), image_, &req);
        VkMemoryAllocateInfo alloc{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
        alloc.allocationSize = req.size;
        alloc.memoryTypeIndex = device_->findMemoryType(req.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
        ASSERT_EQ(vkAllocateMemory(device_->vk(), &alloc, nullptr, &memory_), VK_SUCCESS);
        vkBindImageMemory(device_->vk(), image_, memory_, 0);
        VkImageViewCreateInfo view{VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
        view.image = image_;
        view.viewType = VK_IMAGE_VIEW_TYPE_2D;
        view.format = info.format;
        view.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        ASSERT_EQ(vkCreateImageView(device_->vk(), &view, nullptr, &view_), VK_SUCCESS);
    }

    void TearDown() override
    {
        vkDestroyImageView(device_->vk(), view_, nullptr);
        vkDestroyImage(device_->vk(), image_, nullptr);
        vkFreeMemory(device_->vk(), memory_, nullptr);
    }

    void barrier(CommandBuffer& cb, VkImageLayout from, VkImageLayout to, VkPipelineStageFlags2 src,
                 VkAccessFlags2 srcAccess, VkPipelineStageFlags2 dst, VkAccessFlags2 dstAccess)
    {
        VkImageMemoryBarrier2 b{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2};
        b.srcStageMask = src;
        b.srcAccessMask = srcAccess;
        b.dstStageMask = dst;
        b.dstAccessMask = dstAccess;
        b.oldLayout = from;
        b.newLayout = to;
        b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
        b.image = image_;
        b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        VkDependencyInfo dep{VK_STRUCTURE_TYPE_DEPENDENCY_INFO};
        dep.imageMemoryBarrierCount = 1;
        dep.pImageMemoryBarriers = &b;
        vkCmdPipelineBarrier2(cb.vk(), &dep);
    }

    // Clears to opaque blue, draws `paint` over the whole target, reads pixel 0.
    std::array<uint8_t, 4> draw(bool blending, bool premultiplied, bool colorWrite)
    {
        auto lib = library();
        RenderPipelineDescriptor d;
        d.vertexFunction = function(*lib, "fullscreen", ShaderStage::Vertex);
        d.fragmentFunction = function(*lib, "solid", ShaderStage::Fragment);
        d.colorPixelFormat = PixelFormat::RGBA8Unorm;
        d.blendingEnabled = blending;
        d.sourceRGBBlendFactor = d.sourceAlphaBlendFactor =
            premultiplied ? BlendFactor::One : BlendFactor::SourceAlpha;
        d.destinationRGBBlendFactor = d.destinationAlphaBlendFactor = BlendFactor::OneMinusSourceAlpha;
        if (!colorWrite) d.writeMask = 0;
        auto made = RenderPipelineState::create(device_, d);
        EXPECT_TRUE(made) << made.error().reason;
        if (!made) return {};
        auto state = made.value();
        lib.reset();

        auto paint = device_->newBuffer(16).value();
        const float color[4] = {1.0f, 0.0f, 0.0f, 0.5f};
        std::memcpy(paint->contents(), color, sizeof color);
        auto readback = device_->newBuffer(kSize * kSize * 4).value();
        auto queue = device_->newCommandQueue().value();
        auto cb = queue->commandBuffer().value();
        barrier(*cb, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
                VK_PIPELINE_STAGE_2_TOP_OF_PIPE_BIT, 0, VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT,
                VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT | VK_ACCESS_2_COLOR_ATTACHMENT_READ_BIT);
        VkRenderingAttachmentInfo attachment{VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO};
        attachment.imageView = view_;
        attachment.imageLayout = VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
        attachment.loadOp = VK_ATTACHMENT_LOAD_OP_CLEAR;
        attachment.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
        attachment.clearValue.color = {{0.0f, 0.0f, 1.0f, 1.0f}};
        VkRenderingInfo rendering{VK_STRUCTURE_TYPE_RENDERING_INFO};
        rendering.renderArea = {{0, 0}, {kSize, kSize}};
        rendering.layerCount = 1;
        rendering.colorAttachmentCount = 1;
        rendering.pColorAttachments = &attachment;
        vkCmdBeginRendering(cb->vk(), &rendering);
        vkCmdBindPipeline(cb->vk(), VK_PIPELINE_BIND_POINT_GRAPHICS, state->vk());
        const ResourceBinding* binding = state->layout().find(BindingSpace::FragmentBuffer, 2);
        EXPECT_NE(binding, nullptr);
        if (binding) pushBuffer(*cb, VK_PIPELINE_BIND_POINT_GRAPHICS, state->layout(), *binding, *paint);
        VkViewport viewport{0, float(kSize), float(kSize), -float(kSize), 0, 1};
        VkRect2D scissor{{0, 0}, {kSize, kSize}};
        vkCmdSetViewport(cb->vk(), 0, 1, &viewport);
        vkCmdSetScissor(cb->vk(), 0, 1, &scissor);
        vkCmdSetPrimitiveTopology(cb->vk(), VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST);
        vkCmdSetPrimitiveRestartEnable(cb->vk(), VK_FALSE);
        vkCmdDraw(cb->vk(), 3, 1, 0, 0);
        vkCmdEndRendering(cb->vk());
        barrier(*cb, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL,
                VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT, VK_ACCESS_2_COLOR_ATTACHMENT_WRITE_BIT,
                VK_PIPELINE_STAGE_2_COPY_BIT, VK_ACCESS_2_TRANSFER_READ_BIT);
        VkBufferImageCopy copy{};
        copy.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
        copy.imageExtent = {kSize, kSize, 1};
        vkCmdCopyImageToBuffer(cb->vk(), image_, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, readback->vk(), 1, &copy);
        cb->retain(state);
        cb->retain(paint);
        cb->commit();
        cb->waitUntilCompleted();
        std::array<uint8_t, 4> pixel;
        std::memcpy(pixel.data(), readback->contents(), 4);
        const auto* all = static_cast<const uint8_t*>(readback->contents());
        EXPECT_EQ(std::memcmp(all, all + (kSize * kSize - 1) * 4, 4), 0) << "the whole target is covered";
        return pixel;
    }

    std::shared_ptr<Device> device_;
    VkImage image_ = VK_NULL_HANDLE;
    VkDeviceMemory memory_ = VK_NULL_HANDLE;
    VkImageView view_ = VK_NULL_HANDLE;
};

TEST_F(RenderPipelineDraw, BlendsWithSourceAlphaByDefault)
{
    // rgb: red * 0.5 + blue * 0.5; alpha: 0.5 * 0.5 + 1 * 0.5.
    auto p = draw(true, false, true);
    EXPECT_NEAR(p[0], 128, 1);
    EXPECT_EQ(p[1], 0);
    EXPECT_NEAR(p[2], 128, 1);
    EXPECT_NEAR(p[3], 191, 1);
}

TEST_F(RenderPipelineDraw, PremultipliedBlendingAddsTheSource)
{
    auto p = draw(true, true, true);
    EXPECT_EQ(p[0], 255);
    EXPECT_EQ(p[1], 0);
    EXPECT_NEAR(p[2], 128, 1);
    EXPECT_EQ(p[3], 255);
}

TEST_F(RenderPipelineDraw, WithoutBlendingTheSourceReplaces)
{
    auto p = draw(false, false, true);
    EXPECT_EQ(p[0], 255);
    EXPECT_EQ(p[2], 0);
    EXPECT_NEAR(p[3], 128, 1);
}

TEST_F(RenderPipelineDraw, ColourWritesOffLeaveTheTargetUnchanged)
{
    auto p = draw(true, false, false);
    EXPECT_EQ(p, (std::array<uint8_t, 4>{0, 0, 255, 255}));
}

TEST(RenderPipeline, BuildsAPipelinePerTopologyClass)
{
    auto lib = library();
    RenderPipelineDescriptor d;
    d.vertexFunction = function(*lib, "fullscreen", ShaderStage::Vertex);
    d.fragmentFunction = function(*lib, "solid", ShaderStage::Fragment);
    d.depthAttachmentPixelFormat = PixelFormat::Depth32Float;
    d.stencilAttachmentPixelFormat = PixelFormat::Stencil8;
    auto state = RenderPipelineState::create(sharedDevice(), d);
    ASSERT_TRUE(state) << state.error().reason;
    EXPECT_EQ(state.value()->vkDepthStencilFormats().depth, VK_FORMAT_D32_SFLOAT_S8_UINT);
    EXPECT_EQ(state.value()->vkDepthStencilFormats().stencil, VK_FORMAT_D32_SFLOAT_S8_UINT);
    auto lines = state.value()->pipelineFor(PrimitiveClass::Line);
    ASSERT_TRUE(lines) << lines.error().reason;
    EXPECT_NE(lines.value(), state.value()->vk());
    EXPECT_EQ(state.value()->pipelineFor(PrimitiveClass::Triangle).value(), state.value()->vk());
    EXPECT_EQ(depthStencilFormats(PixelFormat::Depth32Float, PixelFormat::Invalid).stencil, VK_FORMAT_UNDEFINED);
}
