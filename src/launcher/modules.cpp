#include "launcher/modules.hpp"

#include <cstdlib>
#include <string_view>
#include <system_error>

#include <Python.h>
#include <dlfcn.h>

namespace quendal::launcher {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kVersionDir = "python" Py_STRINGIFY(PY_MAJOR_VERSION) "." Py_STRINGIFY(PY_MINOR_VERSION);

bool isFile(const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file(path, error);
}

void* openModule(const fs::path& path, std::string& error)
{
    // Local binding: the launcher needs only the registration function, and
    // the modules' own symbols stay out of the global namespace.
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) error = dlerror();
    return library;
}

RegisterModuleFn findRegistration(void* library, const char* name, const fs::path& path, std::string& error)
{
    auto function = reinterpret_cast<RegisterModuleFn>(dlsym(library, name));
    if (!function) error = path.string() + " does not export " + name;
    return function;
}

}  // namespace

std::vector<fs::path> packageCandidates(const fs::path& launcherDir)
{
    std::vector<fs::path> candidates;
    if (const char* pythonPath = std::getenv("PYTHONPATH")) {
        std::string_view rest = pythonPath;
        while (!rest.empty()) {
            const size_t colon = rest.find(':');
            const std::string_view entry = rest.substr(0, colon);
            if (!entry.empty()) {
                std::error_code error;
                candidates.push_back(fs::absolute(fs::path(entry), error) / "_quendal");
            }
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    const fs::path prefix = launcherDir.parent_path();
    candidates.push_back(prefix / "_quendal");
    for (const char* lib : {"lib", "lib64"}) {
        candidates.push_back(prefix / lib / kVersionDir / "site-packages" / "_quendal");
        candidates.push_back(prefix / lib / kVersionDir / "dist-packages" / "_quendal");
    }
    candidates.push_back(prefix / "lib" / "python3" / "dist-packages" / "_quendal");
    return candidates;
}

bool loadQuendalModules(const fs::path& launcherDir, QuendalModules& modules, std::string& error)
{
    const auto candidates = packageCandidates(launcherDir);
    for (const auto& dir : candidates) {
        const fs::path metal = dir / QUENDAL_METAL_FILE;
        const fs::path system = dir / QUENDAL_SYSTEM_FILE;
        if (!isFile(metal) || !isFile(system)) continue;
        void* metalLibrary = openModule(metal, error);
        if (!metalLibrary) return false;
        void* systemLibrary = openModule(system, error);
        if (!systemLibrary) return false;
        modules.packageDir = dir;
        modules.registerMetalModule = findRegistration(metalLibrary, "registerMetalModule", metal, error);
        modules.registerQuendalSystemModule =
            findRegistration(systemLibrary, "registerQuendalSystemModule", system, error);
        return modules.registerMetalModule && modules.registerQuendalSystemModule;
    }
    error = "cannot find the _quendal package (" QUENDAL_METAL_FILE " and " QUENDAL_SYSTEM_FILE "); looked in:";
    for (const auto& dir : candidates) error += "\n  " + dir.string();
    return false;
}

}  // namespace quendal::launcher
