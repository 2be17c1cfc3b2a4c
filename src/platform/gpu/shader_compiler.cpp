#include "platform/gpu/shader_compiler.hpp"

#include <limits>
#include <mutex>

#include <glslang/MachineIndependent/localintermediate.h>
#include <glslang/Public/ResourceLimits.h>
#include <glslang/Public/ShaderLang.h>
#include <glslang/SPIRV/GlslangToSpv.h>

namespace quendal::gpu {

namespace {

void initializeOnce()
{
    // glslang's process-wide tables; never finalized, since compiles may run
    // until the process ends.
    static std::once_flag once;
    std::call_once(once, [] { glslang::InitializeProcess(); });
}

EShLanguage language(ShaderStage stage)
{
    switch (stage) {
    case ShaderStage::Vertex: return EShLangVertex;
    case ShaderStage::Fragment: return EShLangFragment;
    case ShaderStage::Compute: return EShLangCompute;
    }
    return EShLangVertex;
}

std::string preamble(ShaderStage stage)
{
    std::string text = std::string("#define ") + stageMacro(stage) + " 1\n";
    // The threadgroup size is chosen per dispatch, so it is specialised later.
    if (stage == ShaderStage::Compute) {
        text += "layout(local_size_x_id = 0, local_size_y_id = 1, local_size_z_id = 2) in;\n";
    }
    return text;
}

// glslang reports that a renamed entry point is not "main" even though the
// rename is what was asked for; that line is noise to the user.
std::string cleanLog(const std::string& log)
{
    static const std::string spurious = "Source entry point must be \"main\"";
    std::string out;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        const std::string line = log.substr(start, end - start);
        if (line.find(spurious) == std::string::npos) {
            out += line;
            if (end < log.size()) out += '\n';
        }
        start = end + 1;
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ' || out.back() == '\r')) out.pop_back();
    return out;
}

// glslang takes string lengths as int.
constexpr size_t kMaxSourceLength = static_cast<size_t>(std::numeric_limits<int>::max());
constexpr const char* kTooLong = "ERROR: shader source is longer than 2 GiB";

constexpr EShMessages kMessages = static_cast<EShMessages>(EShMsgSpvRules | EShMsgVulkanRules);

// A source without #version is compiled as "#version 450"; the default version
// of the parse does that without adding a line to the user's text.
bool parse(glslang::TShader& shader, const std::string& source, const std::string& pre, ShaderStage stage)
{
    const char* text = source.c_str();
    const int length = static_cast<int>(source.size());
    shader.setStringsWithLengths(&text, &length, 1);
    shader.setPreamble(pre.c_str());
    shader.setEnvInput(glslang::EShSourceGlsl, language(stage), glslang::EShClientVulkan, 100);
    shader.setEnvClient(glslang::EShClientVulkan, glslang::EShTargetVulkan_1_3);
    shader.setEnvTarget(glslang::EShTargetSpv, glslang::EShTargetSpv_1_6);
    return shader.parse(GetDefaultResources(), 450, ECoreProfile, false, false, kMessages);
}

}  // namespace

const char* stageName(ShaderStage stage)
{
    switch (stage) {
    case ShaderStage::Vertex: return "vertex";
    case ShaderStage::Fragment: return "fragment";
    case ShaderStage::Compute: return "compute";
    }
    return "";
}

const char* stageMacro(ShaderStage stage)
{
    switch (stage) {
    case ShaderStage::Vertex: return "QUENDAL_VERTEX";
    case ShaderStage::Fragment: return "QUENDAL_FRAGMENT";
    case ShaderStage::Compute: return "QUENDAL_COMPUTE";
    }
    return "";
}

bool sourceNamesStage(const std::string& source, ShaderStage stage)
{
    return source.find(stageMacro(stage)) != std::string::npos;
}

std::optional<std::string> parseForStage(const std::string& source, ShaderStage stage)
{
    if (source.size() > kMaxSourceLength) return std::string(kTooLong);
    initializeOnce();
    glslang::TShader shader(language(stage));
    const std::string pre = preamble(stage);
    if (parse(shader, source, pre, stage)) return std::nullopt;
    return cleanLog(shader.getInfoLog());
}

CompiledEntryPoint compileEntryPoint(const std::string& source, ShaderStage stage, const std::string& entry)
{
    CompiledEntryPoint out;
    if (source.size() > kMaxSourceLength) {
        out.log = kTooLong;
        return out;
    }
    initializeOnce();
    glslang::TShader shader(language(stage));
    shader.setEntryPoint(entry.c_str());
    shader.setSourceEntryPoint(entry.c_str());
    const std::string pre = preamble(stage);
    const bool parsed = parse(shader, source, pre, stage);
    // The parse counts the definitions of the requested entry function.
    out.found = shader.getIntermediate() && shader.getIntermediate()->getNumEntryPoints() > 0;
    if (!parsed) {
        out.log = cleanLog(shader.getInfoLog());
        return out;
    }
    if (!out.found) return out;

    glslang::TProgram program;
    program.addShader(&shader);
    if (!program.link(kMessages)) {
        out.log = cleanLog(std::string(shader.getInfoLog()) + program.getInfoLog());
        return out;
    }
    glslang::SpvOptions options;
    options.disableOptimizer = true;
    spv::SpvBuildLogger logger;
    glslang::GlslangToSpv(*program.getIntermediate(language(stage)), out.spirv, &logger, &options);
    if (out.spirv.empty()) out.log = cleanLog(logger.getAllMessages());
    return out;
}

}  // namespace quendal::gpu
