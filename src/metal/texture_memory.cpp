// Kept free of the interpreter so that the unit tests can link it alone.
#include "metal/texture.hpp"

#include "platform/gpu/texture.hpp"

namespace quendal::metal {

uint64_t textureBytesPerPixel(uint64_t pixelFormat)
{
    switch (static_cast<gpu::PixelFormat>(pixelFormat)) {
    case gpu::PixelFormat::R8Unorm:
    case gpu::PixelFormat::Stencil8: return 1;
    case gpu::PixelFormat::R16Float: return 2;
    case gpu::PixelFormat::Depth32FloatStencil8: return 5;
    case gpu::PixelFormat::RG32Float:
    case gpu::PixelFormat::RGBA16Float: return 8;
    default: return 4;
    }
}

uint64_t estimatedTextureBytes(const gpu::Texture* texture)
{
    if (!texture) return 0;
    const uint64_t samples = texture->sampleCount() ? texture->sampleCount() : 1;
    return samples * texture->width() * texture->height() *
           textureBytesPerPixel(static_cast<uint64_t>(texture->pixelFormat()));
}

}  // namespace quendal::metal
