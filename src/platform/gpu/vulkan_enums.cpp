#include "platform/gpu/vulkan_enums.hpp"

namespace quendal::gpu {

// Metal and Vulkan number compare functions and stencil operations alike; the
// switches still spell each one out so that neither numbering leans on the other.
VkCompareOp vkCompareOp(CompareFunction function)
{
    switch (function) {
    case CompareFunction::Never: return VK_COMPARE_OP_NEVER;
    case CompareFunction::Less: return VK_COMPARE_OP_LESS;
    case CompareFunction::Equal: return VK_COMPARE_OP_EQUAL;
    case CompareFunction::LessEqual: return VK_COMPARE_OP_LESS_OR_EQUAL;
    case CompareFunction::Greater: return VK_COMPARE_OP_GREATER;
    case CompareFunction::NotEqual: return VK_COMPARE_OP_NOT_EQUAL;
    case CompareFunction::GreaterEqual: return VK_COMPARE_OP_GREATER_OR_EQUAL;
    case CompareFunction::Always: return VK_COMPARE_OP_ALWAYS;
    }
    return VK_COMPARE_OP_ALWAYS;
}

VkStencilOp vkStencilOp(StencilOperation operation)
{
    switch (operation) {
    case StencilOperation::Keep: return VK_STENCIL_OP_KEEP;
    case StencilOperation::Zero: return VK_STENCIL_OP_ZERO;
    case StencilOperation::Replace: return VK_STENCIL_OP_REPLACE;
    case StencilOperation::IncrementClamp: return VK_STENCIL_OP_INCREMENT_AND_CLAMP;
    case StencilOperation::DecrementClamp: return VK_STENCIL_OP_DECREMENT_AND_CLAMP;
    case StencilOperation::Invert: return VK_STENCIL_OP_INVERT;
    case StencilOperation::IncrementWrap: return VK_STENCIL_OP_INCREMENT_AND_WRAP;
    case StencilOperation::DecrementWrap: return VK_STENCIL_OP_DECREMENT_AND_WRAP;
    }
    return VK_STENCIL_OP_KEEP;
}

VkBlendFactor vkBlendFactor(BlendFactor factor)
{
    switch (factor) {
    case BlendFactor::Zero: return VK_BLEND_FACTOR_ZERO;
    case BlendFactor::One: return VK_BLEND_FACTOR_ONE;
    case BlendFactor::SourceColor: return VK_BLEND_FACTOR_SRC_COLOR;
    case BlendFactor::OneMinusSourceColor: return VK_BLEND_FACTOR_ONE_MINUS_SRC_COLOR;
    case BlendFactor::SourceAlpha: return VK_BLEND_FACTOR_SRC_ALPHA;
    case BlendFactor::OneMinusSourceAlpha: return VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
    case BlendFactor::DestinationColor: return VK_BLEND_FACTOR_DST_COLOR;
    case BlendFactor::OneMinusDestinationColor: return VK_BLEND_FACTOR_ONE_MINUS_DST_COLOR;
    case BlendFactor::DestinationAlpha: return VK_BLEND_FACTOR_DST_ALPHA;
    case BlendFactor::OneMinusDestinationAlpha: return VK_BLEND_FACTOR_ONE_MINUS_DST_ALPHA;
    case BlendFactor::SourceAlphaSaturated: return VK_BLEND_FACTOR_SRC_ALPHA_SATURATE;
    }
    return VK_BLEND_FACTOR_ONE;
}

VkBlendOp vkBlendOp(BlendOperation operation)
{
    switch (operation) {
    case BlendOperation::Add: return VK_BLEND_OP_ADD;
    case BlendOperation::Subtract: return VK_BLEND_OP_SUBTRACT;
    case BlendOperation::ReverseSubtract: return VK_BLEND_OP_REVERSE_SUBTRACT;
    case BlendOperation::Min: return VK_BLEND_OP_MIN;
    case BlendOperation::Max: return VK_BLEND_OP_MAX;
    }
    return VK_BLEND_OP_ADD;
}

VkColorComponentFlags vkColorComponents(uint32_t writeMask)
{
    VkColorComponentFlags flags = 0;
    if (writeMask & ColorWriteMaskRed) flags |= VK_COLOR_COMPONENT_R_BIT;
    if (writeMask & ColorWriteMaskGreen) flags |= VK_COLOR_COMPONENT_G_BIT;
    if (writeMask & ColorWriteMaskBlue) flags |= VK_COLOR_COMPONENT_B_BIT;
    if (writeMask & ColorWriteMaskAlpha) flags |= VK_COLOR_COMPONENT_A_BIT;
    return flags;
}

SampleCountMask sampleCountMask(VkSampleCountFlags flags)
{
    static_assert(VK_SAMPLE_COUNT_1_BIT == 1 && VK_SAMPLE_COUNT_4_BIT == 4 && VK_SAMPLE_COUNT_64_BIT == 64);
    return static_cast<SampleCountMask>(flags);
}

ErrorKind errorKind(VkResult result)
{
    switch (result) {
    case VK_ERROR_OUT_OF_HOST_MEMORY:
    case VK_ERROR_OUT_OF_DEVICE_MEMORY:
    case VK_ERROR_OUT_OF_POOL_MEMORY:
    case VK_ERROR_FRAGMENTED_POOL:
    case VK_ERROR_FRAGMENTATION:
    case VK_ERROR_TOO_MANY_OBJECTS: return ErrorKind::OutOfMemory;
    case VK_ERROR_DEVICE_LOST: return ErrorKind::DeviceLost;
    case VK_ERROR_FEATURE_NOT_PRESENT:
    case VK_ERROR_EXTENSION_NOT_PRESENT:
    case VK_ERROR_LAYER_NOT_PRESENT:
    case VK_ERROR_FORMAT_NOT_SUPPORTED:
    case VK_ERROR_INCOMPATIBLE_DRIVER:
    case VK_ERROR_INCOMPATIBLE_DISPLAY_KHR: return ErrorKind::Unsupported;
    case VK_ERROR_INITIALIZATION_FAILED: return ErrorKind::InitializationFailed;
    case VK_ERROR_VALIDATION_FAILED_EXT: return ErrorKind::ValidationFailed;
    case VK_ERROR_INVALID_SHADER_NV: return ErrorKind::InvalidShader;
    case VK_ERROR_SURFACE_LOST_KHR: return ErrorKind::SurfaceLost;
    case VK_ERROR_OUT_OF_DATE_KHR: return ErrorKind::SurfaceOutOfDate;
    case VK_TIMEOUT: return ErrorKind::Timeout;
    default: return ErrorKind::Unknown;
    }
}

}  // namespace quendal::gpu

namespace quendal::gpu {

Error::Error(VkResult code, std::string reason) : kind(errorKind(code)), reason(std::move(reason)) {}

}  // namespace quendal::gpu
