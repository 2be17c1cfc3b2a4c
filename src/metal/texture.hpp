// Texture memory figures shared by diagnostics and blit passes.
#pragma once

#include <cstdint>

namespace quendal::gpu {
class Texture;
}

namespace quendal::metal {

// Bytes per pixel of a Metal pixel-format value: 1 for r8 and stencil8, 2 for
// r16f, 5 for depth32f_stencil8, 8 for rg32f and rgba16f, 4 for any other.
uint64_t textureBytesPerPixel(uint64_t pixelFormat);

// Sample count x width x height x bytes per pixel, read from the texture
// itself; mipmap levels are not counted. 0 for no texture.
uint64_t estimatedTextureBytes(const gpu::Texture* texture);

}  // namespace quendal::metal
