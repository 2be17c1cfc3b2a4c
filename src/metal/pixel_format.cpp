#include "metal/pixel_format.hpp"

#include <string>

#include "metal/names.hpp"
#include "metal/state.hpp"

namespace quendal::metal {

gpu::PixelFormat pixelFormatFromName(const char* name)
{
    static constexpr Named<gpu::PixelFormat> table[] = {
        {"bgra8", gpu::PixelFormat::BGRA8Unorm},   {"rgba8", gpu::PixelFormat::RGBA8Unorm},
        {"rgba16f", gpu::PixelFormat::RGBA16Float}, {"r8", gpu::PixelFormat::R8Unorm},
        {"r16f", gpu::PixelFormat::R16Float},       {"r32f", gpu::PixelFormat::R32Float},
        {"rg16f", gpu::PixelFormat::RG16Float},     {"rg32f", gpu::PixelFormat::RG32Float},
    };
    return valueNamed(table, name, gpu::PixelFormat::BGRA8Unorm);
}

bool QuendalPyCheckSampleCount(uint32_t samples)
{
    const gpu::SampleCountMask supported = gDevice && *gDevice ? device()->supportedSampleCounts() : 1;
    if ((samples & (samples - 1)) == 0 && (supported & samples)) return true;
    std::string list;
    for (uint32_t n = 1; n <= 64; n <<= 1) {
        if (!(supported & n)) continue;
        if (!list.empty()) list += ", ";
        list += std::to_string(n);
    }
    const std::string message =
        "sample_count " + std::to_string(samples) + " is not supported by this device (supported: " + list + ").";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

}  // namespace quendal::metal
