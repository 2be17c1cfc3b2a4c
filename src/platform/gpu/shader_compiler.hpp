// The shader compiler: Vulkan GLSL to SPIR-V through glslang. One source holds
// every function of a library; a named function is compiled as the entry point
// of one stage, with QUENDAL_VERTEX, QUENDAL_FRAGMENT or QUENDAL_COMPUTE defined.
//
// Thread-safe: any thread may compile at any time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quendal::gpu {

enum class ShaderStage { Vertex, Fragment, Compute };

const char* stageName(ShaderStage stage);
// The macro that the compiler defines while compiling for a stage.
const char* stageMacro(ShaderStage stage);

struct CompiledEntryPoint {
    bool found = false;              // false: the stage's compile has no function of that name
    std::vector<uint32_t> spirv;     // set when found and compiled
    std::string log;                 // the compiler's diagnostics when compiling failed
};

// Whether the source names the stage's macro anywhere (a stage block of the library).
bool sourceNamesStage(const std::string& source, ShaderStage stage);

// Parses the source for a stage without choosing an entry point; returns the
// compiler's log on failure.
std::optional<std::string> parseForStage(const std::string& source, ShaderStage stage);

// Compiles the function `entry` as the stage's entry point. Compute entries get
// their threadgroup size from specialization constants 0, 1 and 2.
CompiledEntryPoint compileEntryPoint(const std::string& source, ShaderStage stage, const std::string& entry);

}  // namespace quendal::gpu
