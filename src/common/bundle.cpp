#include "common/bundle.hpp"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace quendal {

std::string bundlePath()
{
    if (const char* bundle = std::getenv("QUENDAL_BUNDLE"); bundle && *bundle) return bundle;
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return executable.parent_path().string();
}

}  // namespace quendal
