// The facade's own words and what they mean to Vulkan.
#include <gtest/gtest.h>

#include "platform/gpu/result.hpp"
#include "platform/gpu/vulkan_enums.hpp"
#include "platform/native_surface.hpp"

using namespace quendal;
using namespace quendal::gpu;

// The module layer raises ValueError only for ValidationFailed, so which
// results map there, and that the reason survives, is what Python sees.
TEST(GpuErrors, VulkanResultsMapToKindsAndKeepTheReason)
{
    const Error error = vkError(VK_ERROR_OUT_OF_DEVICE_MEMORY, "vkAllocateMemory");
    EXPECT_EQ(error.kind, ErrorKind::OutOfMemory);
    EXPECT_EQ(error.reason, "vkAllocateMemory failed (VkResult -2)");
    EXPECT_EQ(Error(VK_ERROR_VALIDATION_FAILED_EXT, "offset").kind, ErrorKind::ValidationFailed);
    EXPECT_EQ(Error(VK_ERROR_DEVICE_LOST, "").kind, ErrorKind::DeviceLost);
    EXPECT_EQ(Error(VK_ERROR_FORMAT_NOT_SUPPORTED, "").kind, ErrorKind::Unsupported);
    EXPECT_EQ(Error(VK_ERROR_OUT_OF_DATE_KHR, "").kind, ErrorKind::SurfaceOutOfDate);
    for (VkResult other : {VK_ERROR_INITIALIZATION_FAILED, VK_ERROR_INVALID_SHADER_NV, VK_ERROR_UNKNOWN,
                           VK_ERROR_OUT_OF_HOST_MEMORY, VK_ERROR_SURFACE_LOST_KHR}) {
        EXPECT_NE(Error(other, "").kind, ErrorKind::ValidationFailed) << other;
    }
}

// Metal's numbering is the facade's; Vulkan's happens to agree for these, and
// the mapping must not depend on that.
TEST(GpuEnums, FixedFunctionStateMapsToVulkan)
{
    EXPECT_EQ(vkCompareOp(CompareFunction::LessEqual), VK_COMPARE_OP_LESS_OR_EQUAL);
    EXPECT_EQ(vkCompareOp(CompareFunction::Always), VK_COMPARE_OP_ALWAYS);
    EXPECT_EQ(vkStencilOp(StencilOperation::IncrementWrap), VK_STENCIL_OP_INCREMENT_AND_WRAP);
    EXPECT_EQ(vkBlendFactor(BlendFactor::OneMinusSourceAlpha), VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA);
    EXPECT_EQ(vkBlendOp(BlendOperation::ReverseSubtract), VK_BLEND_OP_REVERSE_SUBTRACT);
    // Metal orders the write-mask bits alpha, blue, green, red; Vulkan red first.
    EXPECT_EQ(vkColorComponents(ColorWriteMaskRed | ColorWriteMaskAlpha),
              VkColorComponentFlags(VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_A_BIT));
    EXPECT_EQ(vkColorComponents(ColorWriteMaskNone), 0u);
    EXPECT_EQ(sampleCountMask(VK_SAMPLE_COUNT_1_BIT | VK_SAMPLE_COUNT_4_BIT), 5u);
}

TEST(NativeSurface, DefaultIsHeadlessAndEqualityComparesTheWindow)
{
    EXPECT_TRUE(NativeSurface().headless());
    int display = 0;
    const NativeSurface window = NativeSurface::xlib(&display, 42);
    EXPECT_FALSE(window.headless());
    EXPECT_TRUE(NativeSurface::xlib(&display, 0).headless());
    EXPECT_EQ(window, NativeSurface::xlib(&display, 42));
    EXPECT_FALSE(window == NativeSurface::xlib(&display, 43));
}
