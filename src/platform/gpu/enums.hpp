// The facade's own words for fixed-function state. Each enum keeps Metal's
// numbering, counting from 0 in the order listed (the module layer speaks
// Metal); vulkan_enums.hpp says what each means to Vulkan.
#pragma once

#include <cstdint>

namespace quendal::gpu {

// MTLCompareFunction.
enum class CompareFunction : uint32_t { Never, Less, Equal, LessEqual, Greater, NotEqual, GreaterEqual, Always };

// MTLStencilOperation.
enum class StencilOperation : uint32_t {
    Keep, Zero, Replace, IncrementClamp, DecrementClamp, Invert, IncrementWrap, DecrementWrap
};

// MTLBlendFactor, up to the ones that need a blend colour or a second source.
enum class BlendFactor : uint32_t {
    Zero, One, SourceColor, OneMinusSourceColor, SourceAlpha, OneMinusSourceAlpha,
    DestinationColor, OneMinusDestinationColor, DestinationAlpha, OneMinusDestinationAlpha, SourceAlphaSaturated
};

// MTLBlendOperation.
enum class BlendOperation : uint32_t { Add, Subtract, ReverseSubtract, Min, Max };

// MTLColorWriteMask bits.
enum ColorWriteMask : uint32_t {
    ColorWriteMaskNone = 0, ColorWriteMaskAlpha = 1, ColorWriteMaskBlue = 2, ColorWriteMaskGreen = 4,
    ColorWriteMaskRed = 8, ColorWriteMaskAll = 15
};

// Sample counts are plain integers (1, 2, 4, ...); a set of them is a bitmask
// in which the bit of value N stands for N samples.
using SampleCountMask = uint32_t;

}  // namespace quendal::gpu
