#include "common/bundle.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

namespace quendal {

std::string bundlePath()
{
    if (const char* bundle = std::getenv("QUENDAL_BUNDLE"); bundle && *bundle) return bundle;
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return executable.parent_path().string();
}

std::optional<std::string> bundleInfoString(const std::string& key)
{
    const std::string bundle = bundlePath();
    if (bundle.empty()) return std::nullopt;
    // Read each time: a host may point QUENDAL_BUNDLE elsewhere while running.
    std::ifstream file(std::filesystem::path(bundle) / "Info.json");
    if (!file) return std::nullopt;
    const auto info = nlohmann::json::parse(file, nullptr, false);
    if (!info.is_object()) return std::nullopt;
    const auto it = info.find(key);
    if (it == info.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace quendal
