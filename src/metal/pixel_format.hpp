// Pixel-format names shared by render pipelines and render textures.
#pragma once

#include <cstdint>

#include "platform/gpu/pixel_format.hpp"

namespace quendal::metal {

// Names compare byte for byte; no name or an unknown one means "bgra8".
gpu::PixelFormat pixelFormatFromName(const char* name);

// Refuses, with a ValueError naming the counts there are, a sample count the
// device cannot render with (no device yet: only 1). Interpreter lock held.
bool QuendalPyCheckSampleCount(uint32_t samples);

}  // namespace quendal::metal
