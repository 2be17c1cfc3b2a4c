// Pixel formats keep the contract's Metal numbering in records and estimates;
// the facade maps each to its Vulkan format.
#pragma once

#include <cstdint>

#include <vulkan/vulkan.h>

namespace quendal::gpu {

// MTLPixelFormat values: colour formats, then depth and stencil.
enum class PixelFormat : uint64_t {
    Invalid = 0, R8Unorm = 10, R16Float = 25, R32Float = 55, RG16Float = 65, RGBA8Unorm = 70, BGRA8Unorm = 80,
    RG32Float = 105, RGBA16Float = 115,
    Depth32Float = 252, Stencil8 = 253, Depth32FloatStencil8 = 260,
};

// VK_FORMAT_UNDEFINED for Invalid and values outside the table.
VkFormat vkFormat(PixelFormat format);
// 0 for formats outside the table.
uint32_t bytesPerPixel(PixelFormat format);
bool hasDepth(PixelFormat format);
bool hasStencil(PixelFormat format);

}  // namespace quendal::gpu
