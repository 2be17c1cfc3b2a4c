// quendal-shaderc: compiles a GLSL library into a precompiled SPIR-V library
// holding the entry points asked for, which create_library loads from a path
// ending ".spv" or ".metallib" (or from default.spv in the bundle).
//
//   quendal-shaderc lib.glsl -o lib.spv vertex:vs_main fragment:fs_main compute:blur
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <spirv-tools/libspirv.hpp>
#include <spirv-tools/linker.hpp>

#include "platform/gpu/library.hpp"
#include "platform/gpu/shader_compiler.hpp"
#include "platform/gpu/spirv.hpp"

using namespace quendal::gpu;

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: quendal-shaderc SOURCE -o OUTPUT STAGE:NAME...\n"
                 "  STAGE is vertex, fragment or compute; NAME a function of SOURCE.\n");
    return 2;
}

bool parseStage(const std::string& text, ShaderStage& stage)
{
    for (ShaderStage s : {ShaderStage::Vertex, ShaderStage::Fragment, ShaderStage::Compute}) {
        if (text == stageName(s)) {
            stage = s;
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string input, output;
    std::vector<std::pair<ShaderStage, std::string>> entries;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-o") {
            if (++i >= argc) return usage();
            output = argv[i];
        } else if (arg == "-h" || arg == "--help") {
            usage();
            return 0;
        } else if (input.empty() && arg.find(':') == std::string::npos) {
            input = arg;
        } else {
            const size_t colon = arg.find(':');
            ShaderStage stage;
            if (colon == std::string::npos || colon + 1 == arg.size() || !parseStage(arg.substr(0, colon), stage)) {
                std::fprintf(stderr, "quendal-shaderc: bad entry point '%s' (want STAGE:NAME)\n", arg.c_str());
                return 2;
            }
            entries.emplace_back(stage, arg.substr(colon + 1));
        }
    }
    if (input.empty() || output.empty() || entries.empty()) return usage();

    auto source = readTextFile(input);
    if (!source) {
        std::fprintf(stderr, "quendal-shaderc: cannot read %s: %s\n", input.c_str(), source.error().reason.c_str());
        return 1;
    }
    std::set<std::string> names;
    std::vector<std::vector<uint32_t>> modules;
    for (const auto& [stage, name] : entries) {
        // Vulkan names an entry point by name and stage, but the library looks
        // functions up by name alone within a stage; one name per module keeps
        // every lookup unambiguous.
        if (!names.insert(name).second) {
            std::fprintf(stderr, "quendal-shaderc: entry point '%s' is given twice\n", name.c_str());
            return 1;
        }
        CompiledEntryPoint compiled = compileEntryPoint(source.value(), stage, name);
        if (!compiled.found) {
            std::fprintf(stderr, "quendal-shaderc: %s: no %s function '%s'\n%s\n", input.c_str(), stageName(stage),
                         name.c_str(), compiled.log.c_str());
            return 1;
        }
        if (compiled.spirv.empty()) {
            std::fprintf(stderr, "%s\n", compiled.log.c_str());
            return 1;
        }
        modules.push_back(std::move(compiled.spirv));
    }

    std::vector<uint32_t> linked;
    if (modules.size() == 1) {
        linked = std::move(modules.front());
    } else {
        spvtools::Context context(SPV_ENV_VULKAN_1_3);
        std::string messages;
        context.SetMessageConsumer([&](spv_message_level_t, const char*, const spv_position_t&, const char* text) {
            messages += text;
            messages += '\n';
        });
        spvtools::LinkerOptions options;
        options.SetCreateLibrary(false);
        if (spvtools::Link(context, modules, &linked, options) != SPV_SUCCESS) {
            std::fprintf(stderr, "quendal-shaderc: linking failed\n%s", messages.c_str());
            return 1;
        }
    }
    if (auto problem = validateSpirv(linked)) {
        std::fprintf(stderr, "quendal-shaderc: the linked module is invalid: %s\n", problem->c_str());
        return 1;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(linked.data()), static_cast<std::streamsize>(linked.size() * 4));
    if (!out) {
        std::fprintf(stderr, "quendal-shaderc: cannot write %s\n", output.c_str());
        return 1;
    }
    return 0;
}
