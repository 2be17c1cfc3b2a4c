#include "metal/pixel_format.hpp"

#include <cstring>

namespace quendal::metal {

gpu::PixelFormat pixelFormatFromName(const char* name)
{
    static constexpr struct {
        const char* name;
        gpu::PixelFormat format;
    } table[] = {
        {"bgra8", gpu::PixelFormat::BGRA8Unorm},   {"rgba8", gpu::PixelFormat::RGBA8Unorm},
        {"rgba16f", gpu::PixelFormat::RGBA16Float}, {"r8", gpu::PixelFormat::R8Unorm},
        {"r16f", gpu::PixelFormat::R16Float},       {"r32f", gpu::PixelFormat::R32Float},
        {"rg16f", gpu::PixelFormat::RG16Float},     {"rg32f", gpu::PixelFormat::RG32Float},
    };
    if (name) {
        for (const auto& entry : table) {
            if (std::strcmp(entry.name, name) == 0) return entry.format;
        }
    }
    return gpu::PixelFormat::BGRA8Unorm;
}

}  // namespace quendal::metal
