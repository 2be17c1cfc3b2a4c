#include "runtime/bundle.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include <nlohmann/json.hpp>

namespace quendal {
namespace {

std::map<std::string, std::string> readInfo(const std::filesystem::path& file)
{
    std::map<std::string, std::string> info;
    std::ifstream stream(file, std::ios::binary);
    if (!stream) return info;
    const std::string text{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object()) return info;
    for (const auto& [key, value] : json.items()) {
        if (value.is_string()) info.emplace(key, value.get<std::string>());
    }
    return info;
}

MainBundle lookUpMainBundle()
{
    MainBundle bundle;
    const std::string found = bundlePath();
    if (found.empty()) return bundle;
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(found, error);
    if (error) return bundle;
    path = path.lexically_normal();
    if (!path.has_filename()) path = path.parent_path();  // "X.app/" names X.app
    bundle.path = path.string();
    const std::string extension = path.extension().string();
    bundle.extension = extension.empty() ? "" : extension.substr(1);
    bundle.info = readInfo(path / "Info.json");
    bundle.name = bundle.infoString("CFBundleName");
    if (bundle.name.empty()) bundle.name = path.stem().string();
    return bundle;
}

}  // namespace

std::string bundlePath()
{
    if (const char* bundle = std::getenv("QUENDAL_BUNDLE"); bundle && *bundle) return bundle;
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return executable.parent_path().string();
}

std::string MainBundle::infoString(const std::string& key) const
{
    auto it = info.find(key);
    return it == info.end() ? std::string() : it->second;
}

bool MainBundle::isApplication() const
{
    std::string lowered = extension;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return !identifier().empty() && lowered == "app";
}

const MainBundle& mainBundle()
{
    static const MainBundle bundle = lookUpMainBundle();
    return bundle;
}

std::optional<std::string> bundleInfoString(const std::string& key)
{
    const std::string bundle = bundlePath();
    if (bundle.empty()) return std::nullopt;
    const auto info = readInfo(std::filesystem::path(bundle) / "Info.json");
    const auto it = info.find(key);
    if (it == info.end()) return std::nullopt;
    return it->second;
}

}  // namespace quendal
