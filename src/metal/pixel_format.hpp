// Pixel-format names shared by render pipelines and render textures.
#pragma once

#include "platform/gpu/pixel_format.hpp"

namespace quendal::metal {

// Names compare byte for byte; no name or an unknown one means "bgra8".
gpu::PixelFormat pixelFormatFromName(const char* name);

}  // namespace quendal::metal
