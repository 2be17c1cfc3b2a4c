#include "platform/gpu/shader_compiler.hpp"

#include <algorithm>
#include <limits>
#include <pthread.h>
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

// glslang's parser bounds nesting, but long operator chains still become
// trees as deep as they are long, and glslang walks them recursively. Compiles
// run on a thread with a large stack (reserved, touched only as deep as
// needed), and statements whose operator chains could outgrow it are refused.
constexpr size_t kCompilerStack = size_t{512} << 20;
constexpr size_t kMaxOperatorsPerStatement = 1 << 16;

template <class Work>
void onCompilerStack(Work& work)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kCompilerStack);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        (*static_cast<Work*>(arg))();
        return nullptr;
    };
    const bool started = pthread_create(&thread, &attr, run, &work) == 0;
    pthread_attr_destroy(&attr);
    if (started) {
        pthread_join(thread, nullptr);
    } else {
        work();
    }
}

// The line of the first statement with too many operators, or 0.
int overlongStatement(const std::string& source)
{
    size_t operators = 0;
    int line = 1;
    for (char c : source) {
        switch (c) {
        case '\n': ++line; break;
        case ';':
        case '{':
        case '}': operators = 0; break;
        case '+': case '-': case '*': case '/': case '%': case '<': case '>': case '&':
        case '|': case '^': case '?': case '=': case '!': case '~': case '[': case '(': case '.': case ',':
            if (++operators > kMaxOperatorsPerStatement) return line;
            break;
        default: break;
        }
    }
    return 0;
}

std::optional<std::string> refuse(const std::string& source)
{
    if (source.size() > kMaxSourceLength) return std::string(kTooLong);
    return std::nullopt;
}

// The shader keeps pointers to text and length: both must outlive its parse.
void configure(glslang::TShader& shader, const char* const* text, const int* length, const std::string& pre,
               ShaderStage stage)
{
    // The preamble is glslang's own mechanism, so the user's line numbers stay
    // as written.
    shader.setStringsWithLengths(text, length, 1);
    shader.setPreamble(pre.c_str());
    shader.setEnvInput(glslang::EShSourceGlsl, language(stage), glslang::EShClientVulkan, 100);
    shader.setEnvClient(glslang::EShClientVulkan, glslang::EShTargetVulkan_1_3);
    shader.setEnvTarget(glslang::EShTargetSpv, glslang::EShTargetSpv_1_6);
}

// A source without #version is compiled as "#version 450": the parse's default
// version does that without adding a line to the user's text. Macros can
// expand short text into long chains, so the expanded text is what is
// measured. On failure, log holds the compiler's log.
bool parse(glslang::TShader& shader, const std::string& source, const std::string& pre, ShaderStage stage,
           std::string& log)
{
    const char* text = source.c_str();
    const int length = static_cast<int>(source.size());
    int line = 0;
    if (source.find("define") == std::string::npos) {
        // No macros: the text is measured as it is.
        line = overlongStatement(source);
    } else {
        glslang::TShader expanded(language(stage));
        configure(expanded, &text, &length, pre, stage);
        std::string output;
        glslang::TShader::ForbidIncluder includer;
        if (expanded.preprocess(GetDefaultResources(), 450, ECoreProfile, false, false, kMessages, &output, includer)) {
            // The preprocessed text starts with the preamble's lines.
            line = overlongStatement(output);
            if (line) line = std::max(1, line - static_cast<int>(std::count(pre.begin(), pre.end(), '\n')));
        }
    }
    if (line) {
        log = "ERROR: 0:" + std::to_string(line) + ": '' : expression too complex (more than " +
              std::to_string(kMaxOperatorsPerStatement) + " operators in one statement)";
        return false;
    }
    configure(shader, &text, &length, pre, stage);
    if (shader.parse(GetDefaultResources(), 450, ECoreProfile, false, false, kMessages)) return true;
    log = cleanLog(shader.getInfoLog());
    return false;
}

void compileOnThisThread(const std::string& source, ShaderStage stage, const std::string& entry,
                         CompiledEntryPoint& out)
{
    glslang::TShader shader(language(stage));
    shader.setEntryPoint(entry.c_str());
    shader.setSourceEntryPoint(entry.c_str());
    const std::string pre = preamble(stage);
    const bool parsed = parse(shader, source, pre, stage, out.log);
    // The parse counts the definitions of the requested entry function.
    out.found = shader.getIntermediate() && shader.getIntermediate()->getNumEntryPoints() > 0;
    if (!parsed) return;
    if (!out.found) return;

    glslang::TProgram program;
    program.addShader(&shader);
    if (!program.link(kMessages)) {
        out.log = cleanLog(std::string(shader.getInfoLog()) + program.getInfoLog());
        return;
    }
    glslang::SpvOptions options;
    options.disableOptimizer = true;
    spv::SpvBuildLogger logger;
    glslang::GlslangToSpv(*program.getIntermediate(language(stage)), out.spirv, &logger, &options);
    if (out.spirv.empty()) out.log = cleanLog(logger.getAllMessages());
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
    if (auto refused = refuse(source)) return refused;
    initializeOnce();
    std::optional<std::string> log;
    auto work = [&] {
        glslang::TShader shader(language(stage));
        const std::string pre = preamble(stage);
        std::string text;
        if (!parse(shader, source, pre, stage, text)) log = std::move(text);
    };
    onCompilerStack(work);
    return log;
}

CompiledEntryPoint compileEntryPoint(const std::string& source, ShaderStage stage, const std::string& entry)
{
    CompiledEntryPoint out;
    if (auto refused = refuse(source)) {
        out.log = *refused;
        return out;
    }
    initializeOnce();
    auto work = [&] { compileOnThisThread(source, stage, entry, out); };
    onCompilerStack(work);
    return out;
}
}  // namespace quendal::gpu
