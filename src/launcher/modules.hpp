// Finding and loading the two extension modules before the interpreter starts.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quendal::launcher {

using RegisterModuleFn = int (*)();

struct QuendalModules {
    std::filesystem::path packageDir;
    RegisterModuleFn registerMetalModule = nullptr;
    RegisterModuleFn registerQuendalSystemModule = nullptr;
};

// Package folders to try, in the order the interpreter would search them:
// PYTHONPATH first, then the build tree (<build>/bin/../_quendal), then the
// site-packages of the prefix or virtual environment the launcher lives in.
std::vector<std::filesystem::path> packageCandidates(const std::filesystem::path& launcherDir);

// Loads _metal and _system from the first candidate that holds both. The
// libraries stay loaded for the life of the process: the interpreter creates
// the modules from them when Python first imports them. Fails with a reason.
bool loadQuendalModules(const std::filesystem::path& launcherDir, QuendalModules& modules, std::string& error);

}  // namespace quendal::launcher
