// The application bundle: the directory named by QUENDAL_BUNDLE (set by a host
// launcher), else the directory of the running executable.
#pragma once

#include <string>

namespace quendal {

// Empty when neither is known.
std::string bundlePath();

}  // namespace quendal
