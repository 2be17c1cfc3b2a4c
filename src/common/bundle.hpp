// The application bundle: the directory named by QUENDAL_BUNDLE (set by a host
// launcher), else the directory of the running executable.
#pragma once

#include <optional>
#include <string>

namespace quendal {

// Empty when neither is known.
std::string bundlePath();

// The string under key in the bundle's Info.json; empty when the file is
// missing or unreadable, or the value is absent or not a string.
std::optional<std::string> bundleInfoString(const std::string& key);

}  // namespace quendal
