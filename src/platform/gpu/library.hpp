// A shader library: the functions of one GLSL source, compiled per stage on
// demand, or of one precompiled SPIR-V module. Functions are looked up by name
// and stage; a function keeps its own SPIR-V, so pipelines made from it need
// nothing else from the library. Thread-safe.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/gpu/result.hpp"
#include "platform/gpu/shader_compiler.hpp"
#include "platform/gpu/spirv.hpp"

namespace quendal::gpu {

class Function {
public:
    Function(std::string name, ShaderStage stage, std::shared_ptr<const std::vector<uint32_t>> spirv,
             ShaderInterface interface)
        : name_(std::move(name)), stage_(stage), spirv_(std::move(spirv)), interface_(std::move(interface))
    {
    }
    const std::string& name() const { return name_; }
    ShaderStage stage() const { return stage_; }
    // The module holding the entry point, as the source declared its descriptors.
    const std::vector<uint32_t>& spirv() const { return *spirv_; }
    const ShaderInterface& interface() const { return interface_; }

private:
    std::string name_;
    ShaderStage stage_;
    std::shared_ptr<const std::vector<uint32_t>> spirv_;
    ShaderInterface interface_;
};

class Library {
public:
    // Parses the source once per stage: every stage whose macro the source
    // names must parse, and at least one must. Error reason: the compiler's log.
    static Result<std::shared_ptr<Library>> newWithSource(std::string source);
    // A SPIR-V module with one or more entry points, validated before use.
    static Result<std::shared_ptr<Library>> newWithSpirv(std::vector<uint32_t> words);
    static Result<std::shared_ptr<Library>> newWithFile(const std::string& path);

    // The function `name` of the stage: a null value when the library has none,
    // an error (the compiler's log) when it is there but does not compile.
    Result<std::shared_ptr<Function>> newFunction(const std::string& name, ShaderStage stage);

    bool isPrecompiled() const { return !spirv_.empty(); }

private:
    Library() = default;

    std::string source_;
    std::set<ShaderStage> stages_;  // stages the source parses for
    std::vector<uint32_t> spirv_;
    std::shared_ptr<const std::vector<uint32_t>> shared_;
    std::vector<SpirvEntryPoint> entryPoints_;

    std::mutex mutex_;
    std::map<std::pair<std::string, ShaderStage>, std::shared_ptr<Function>> functions_;
};

// Reads a whole file as UTF-8 text; the error reason describes why it could not
// (without the path).
Result<std::string> readTextFile(const std::string& path);

}  // namespace quendal::gpu
