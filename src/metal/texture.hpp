// Texture memory figures shared by diagnostics and blit passes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

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

// Erases the record of a texture that Python never got the handle of (its
// result could not be built); the texture is released after unlocking.
// Interpreter lock held, gStateMutex not held.
void QuendalPyForgetTexture(int64_t handle);

// A BGRA 8-bit, shader-read texture of width x height whose one level is the
// bitmap that draw paints into zero-filled memory (B, G, R, A bytes, width x 4
// bytes per row, top row first). None when the device cannot make it, the
// memory cannot be had or draw returns false. Waits for the upload; any thread,
// no lock held (gStateMutex must not be).
std::shared_ptr<gpu::Texture> QuendalPyMakeBitmapTexture(uint32_t width, uint32_t height,
                                                         const std::function<bool(uint8_t* pixels)>& draw);

}  // namespace quendal::metal
