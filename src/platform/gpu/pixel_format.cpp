#include "platform/gpu/pixel_format.hpp"

namespace quendal::gpu {

VkFormat vkFormat(PixelFormat format)
{
    switch (format) {
    case PixelFormat::R8Unorm: return VK_FORMAT_R8_UNORM;
    case PixelFormat::R16Float: return VK_FORMAT_R16_SFLOAT;
    case PixelFormat::R32Float: return VK_FORMAT_R32_SFLOAT;
    case PixelFormat::RG16Float: return VK_FORMAT_R16G16_SFLOAT;
    case PixelFormat::RGBA8Unorm: return VK_FORMAT_R8G8B8A8_UNORM;
    case PixelFormat::BGRA8Unorm: return VK_FORMAT_B8G8R8A8_UNORM;
    case PixelFormat::RG32Float: return VK_FORMAT_R32G32_SFLOAT;
    case PixelFormat::RGBA16Float: return VK_FORMAT_R16G16B16A16_SFLOAT;
    case PixelFormat::Depth32Float: return VK_FORMAT_D32_SFLOAT;
    case PixelFormat::Stencil8: return VK_FORMAT_S8_UINT;
    case PixelFormat::Depth32FloatStencil8: return VK_FORMAT_D32_SFLOAT_S8_UINT;
    case PixelFormat::Invalid: break;
    }
    return VK_FORMAT_UNDEFINED;
}

uint32_t bytesPerPixel(PixelFormat format)
{
    switch (format) {
    case PixelFormat::R8Unorm:
    case PixelFormat::Stencil8: return 1;
    case PixelFormat::R16Float: return 2;
    case PixelFormat::R32Float:
    case PixelFormat::RG16Float:
    case PixelFormat::RGBA8Unorm:
    case PixelFormat::BGRA8Unorm:
    case PixelFormat::Depth32Float: return 4;
    case PixelFormat::Depth32FloatStencil8: return 5;
    case PixelFormat::RG32Float:
    case PixelFormat::RGBA16Float: return 8;
    case PixelFormat::Invalid: break;
    }
    return 0;
}

bool hasDepth(PixelFormat format)
{
    return format == PixelFormat::Depth32Float || format == PixelFormat::Depth32FloatStencil8;
}

bool hasStencil(PixelFormat format)
{
    return format == PixelFormat::Stencil8 || format == PixelFormat::Depth32FloatStencil8;
}

}  // namespace quendal::gpu
