// The facade's own words for fixed-function state. Each enum keeps Metal's
// numbering (the contract speaks Metal), so values coming from the module layer
// need no translation; vulkan_enums.hpp says what each means to Vulkan.
#pragma once

#include <cstdint>

namespace quendal::gpu {

// MTLCompareFunction.
enum class CompareFunction : uint32_t {
    Never = 0,
    Less = 1,
    Equal = 2,
    LessEqual = 3,
    Greater = 4,
    NotEqual = 5,
    GreaterEqual = 6,
    Always = 7,
};

// MTLStencilOperation.
enum class StencilOperation : uint32_t {
    Keep = 0,
    Zero = 1,
    Replace = 2,
    IncrementClamp = 3,
    DecrementClamp = 4,
    Invert = 5,
    IncrementWrap = 6,
    DecrementWrap = 7,
};

// MTLBlendFactor (the ones that need no blend colour or second source).
enum class BlendFactor : uint32_t {
    Zero = 0,
    One = 1,
    SourceColor = 2,
    OneMinusSourceColor = 3,
    SourceAlpha = 4,
    OneMinusSourceAlpha = 5,
    DestinationColor = 6,
    OneMinusDestinationColor = 7,
    DestinationAlpha = 8,
    OneMinusDestinationAlpha = 9,
    SourceAlphaSaturated = 10,
};

// MTLBlendOperation.
enum class BlendOperation : uint32_t {
    Add = 0,
    Subtract = 1,
    ReverseSubtract = 2,
    Min = 3,
    Max = 4,
};

// MTLColorWriteMask bits.
enum ColorWriteMask : uint32_t {
    ColorWriteMaskNone = 0,
    ColorWriteMaskAlpha = 1,
    ColorWriteMaskBlue = 2,
    ColorWriteMaskGreen = 4,
    ColorWriteMaskRed = 8,
    ColorWriteMaskAll = 15,
};

// Sample counts are plain integers (1, 2, 4, ...); a set of them is a bitmask
// in which the bit of value N stands for N samples.
using SampleCountMask = uint32_t;

}  // namespace quendal::gpu
