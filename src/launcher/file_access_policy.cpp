#include "launcher/file_access_policy.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace quendal::launcher {
namespace fs = std::filesystem;

namespace {

std::vector<fs::path> gAllowedRoots;
std::mutex gAccessMutex;                  // guards gOpenAccess and log writes
std::map<int64_t, std::string> gOpenAccess;  // token -> path as the module gave it
std::atomic<int64_t> gNextToken{1};
int gLogFd = -1;

// Absolute, with symbolic links of the existing part resolved and the rest
// normalised; empty when it cannot be made.
fs::path resolved(const fs::path& path)
{
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    if (error) return {};
    fs::path result = fs::weakly_canonical(absolute, error);
    if (error) result = absolute.lexically_normal();
    if (!result.has_filename() && result.has_relative_path()) result = result.parent_path();
    return result;
}

bool isWithin(const fs::path& path, const fs::path& root)
{
    auto r = root.begin();
    for (auto p = path.begin(); r != root.end() && p != path.end(); ++r, ++p) {
        if (*r != *p) return false;
    }
    return r == root.end();
}

bool allowed(const char* path)
{
    if (!path || !*path) return false;
    const fs::path target = resolved(path);
    if (target.empty()) return false;
    for (const auto& root : gAllowedRoots) {
        if (isWithin(target, root)) return true;
    }
    return false;
}

// gAccessMutex held.
void logLine(const std::string& line)
{
    if (gLogFd < 0) return;
    const std::string text = line + "\n";
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(gLogFd, text.data() + written, text.size() - written);
        if (n <= 0) return;
        written += static_cast<size_t>(n);
    }
}

fs::path homeFolder()
{
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return {};
}

}  // namespace

std::vector<fs::path> defaultAllowedRoots(const fs::path& bundle, const std::vector<std::string>& arguments)
{
    std::vector<fs::path> roots;
    if (!bundle.empty()) roots.push_back(bundle);
    // A service account's home of "/" would grant everything.
    if (fs::path home = homeFolder(); !home.empty() && home != "/") roots.push_back(home);
    for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
        if (const char* value = std::getenv(name); value && *value) roots.emplace_back(value);
    }
    for (const char* folder : {"/tmp", "/var/tmp", "/usr/tmp"}) roots.emplace_back(folder);
    for (const auto& argument : arguments) {
        if (argument.empty()) continue;
        roots.emplace_back(argument);
        if (argument.starts_with("--")) {
            if (const size_t equals = argument.find('='); equals != std::string::npos && equals + 1 < argument.size()) {
                roots.emplace_back(argument.substr(equals + 1));
            }
        }
    }
    return roots;
}

void configureFileAccess(std::vector<fs::path> allowedRoots)
{
    gAllowedRoots.clear();
    for (const auto& root : allowedRoots) {
        fs::path path = resolved(root);
        if (!path.empty()) gAllowedRoots.push_back(std::move(path));
    }
    if (const char* log = std::getenv("QUENDAL_FILE_ACCESS_LOG"); log && *log) {
        gLogFd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
}

int64_t beginFileAccess(const char* path)
{
    const bool granted = allowed(path);
    const std::string given = path ? path : "";
    std::lock_guard lock(gAccessMutex);
    if (!granted) {
        logLine("refuse\t" + given);
        return 0;
    }
    const int64_t token = gNextToken.fetch_add(1, std::memory_order_relaxed);
    gOpenAccess.emplace(token, given);
    logLine("begin\t" + std::to_string(token) + "\t" + given);
    return token;
}

void endFileAccess(int64_t token)
{
    std::lock_guard lock(gAccessMutex);
    if (gOpenAccess.erase(token) == 0) {
        logLine("end-unknown\t" + std::to_string(token));
        return;
    }
    logLine("end\t" + std::to_string(token));
}

void reportUnendedFileAccess()
{
    std::lock_guard lock(gAccessMutex);
    for (const auto& [token, path] : gOpenAccess) logLine("unended\t" + std::to_string(token) + "\t" + path);
}

}  // namespace quendal::launcher

extern "C" __attribute__((visibility("default"))) int64_t QuendalPyBeginFileAccess(const char* path)
{
    return quendal::launcher::beginFileAccess(path);
}

extern "C" __attribute__((visibility("default"))) void QuendalPyEndFileAccess(int64_t token)
{
    quendal::launcher::endFileAccess(token);
}
