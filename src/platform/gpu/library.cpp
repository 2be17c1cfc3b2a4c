#include "platform/gpu/library.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quendal::gpu {

namespace {

Result<std::string> readFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Error{ErrorKind::InitializationFailed, std::strerror(errno)};
    std::string data;
    struct stat info {};
    int error = 0;
    if (fstat(fd, &info) != 0) {
        error = errno;
    } else if (S_ISDIR(info.st_mode)) {
        error = EISDIR;
    } else {
        char chunk[1 << 16];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0) {
                data.append(chunk, static_cast<size_t>(n));
            } else if (n == 0) {
                break;
            } else if (errno != EINTR) {
                error = errno;
                break;
            }
        }
    }
    ::close(fd);
    if (error) return Error{ErrorKind::InitializationFailed, std::strerror(error)};
    return data;
}

bool isUtf8(const std::string& text)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        size_t extra = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n) return false;
        for (size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static constexpr uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

Result<std::string> readTextFile(const std::string& path)
{
    auto data = readFile(path);
    if (!data) return data.error();
    if (!isUtf8(data.value())) return Error{ErrorKind::Unsupported, "The file is not valid UTF-8 text."};
    return data;
}

Result<std::shared_ptr<Library>> Library::newWithSource(std::string source)
{
    std::shared_ptr<Library> library(new Library());
    std::string shortestLog;
    for (ShaderStage stage : {ShaderStage::Vertex, ShaderStage::Fragment, ShaderStage::Compute}) {
        auto log = parseForStage(source, stage);
        if (!log) {
            library->stages_.insert(stage);
            continue;
        }
        // A stage block of the source must compile; code outside the blocks
        // need only compile for the stages it is written for.
        if (sourceNamesStage(source, stage)) return Error{ErrorKind::InvalidShader, *log};
        if (shortestLog.empty() || log->size() < shortestLog.size()) shortestLog = *log;
    }
    // Failing every stage, the shortest log is the one with the user's own
    // mistakes and the fewest that only belong to another stage.
    if (library->stages_.empty()) return Error{ErrorKind::InvalidShader, shortestLog};
    library->source_ = std::move(source);
    return library;
}

Result<std::shared_ptr<Library>> Library::newWithSpirv(std::vector<uint32_t> words)
{
    if (words.size() < 5) return Error{ErrorKind::InvalidShader, "The file is not a SPIR-V module."};
    if (words[0] == __builtin_bswap32(0x07230203u)) {
        for (uint32_t& w : words) w = __builtin_bswap32(w);
    }
    if (words[0] != 0x07230203u) return Error{ErrorKind::InvalidShader, "The file is not a SPIR-V module."};
    // A malformed module would reach the driver, which trusts its input.
    if (auto problem = validateSpirv(words)) return Error{ErrorKind::InvalidShader, *problem};
    auto entries = spirvEntryPoints(words);
    if (!entries) return entries.error();
    if (entries.value().empty()) {
        return Error{ErrorKind::InvalidShader, "The module has no vertex, fragment or compute entry point."};
    }
    std::shared_ptr<Library> library(new Library());
    library->entryPoints_ = std::move(entries.value());
    library->shared_ = std::make_shared<const std::vector<uint32_t>>(words);
    library->spirv_ = std::move(words);
    return library;
}

Result<std::shared_ptr<Library>> Library::newWithFile(const std::string& path)
{
    auto data = readFile(path);
    if (!data) return data.error();
    const std::string& bytes = data.value();
    if (bytes.size() % 4 != 0) return Error{ErrorKind::InvalidShader, "The file is not a SPIR-V module."};
    std::vector<uint32_t> words(bytes.size() / 4);
    // An empty file has no data pointer to copy from.
    if (!bytes.empty()) std::memcpy(words.data(), bytes.data(), bytes.size());
    return newWithSpirv(std::move(words));
}

Result<std::shared_ptr<Function>> Library::newFunction(const std::string& name, ShaderStage stage)
{
    std::lock_guard lock(mutex_);
    const auto key = std::make_pair(name, stage);
    if (auto it = functions_.find(key); it != functions_.end()) return it->second;

    std::shared_ptr<const std::vector<uint32_t>> spirv;
    if (isPrecompiled()) {
        bool present = false;
        for (const auto& entry : entryPoints_) present = present || (entry.name == name && entry.stage == stage);
        if (!present) return std::shared_ptr<Function>();
        spirv = shared_;
    } else {
        if (!stages_.count(stage)) return std::shared_ptr<Function>();
        CompiledEntryPoint compiled = compileEntryPoint(source_, stage, name);
        if (!compiled.found) return std::shared_ptr<Function>();
        if (compiled.spirv.empty()) return Error{ErrorKind::InvalidShader, compiled.log};
        // glslang takes an empty name for "main"; only a module whose entry
        // point carries the very name asked for may reach the driver.
        auto entries = spirvEntryPoints(compiled.spirv);
        if (!entries || entries.value().size() != 1 || entries.value()[0].name != name) {
            return std::shared_ptr<Function>();
        }
        spirv = std::make_shared<const std::vector<uint32_t>>(std::move(compiled.spirv));
    }
    auto interface = reflectEntryPoint(*spirv, name, stage);
    if (!interface) return interface.error();
    auto function = std::make_shared<Function>(name, stage, std::move(spirv), std::move(interface.value()));
    functions_.emplace(key, function);
    return function;
}

}  // namespace quendal::gpu
