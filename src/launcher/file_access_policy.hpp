// The launcher's file-access hooks, QuendalPyBeginFileAccess and
// QuendalPyEndFileAccess, exported from the executable so that both modules
// find them with dlsym.
//
// Policy: access is granted (a non-zero token) to paths under the bundle, the
// user's home, the temporary folders and the paths named on the command line;
// every other path is refused (token 0, nothing to end). Linux has no sandbox,
// so a refusal takes nothing away: the module still opens the file with the
// process's own rights, exactly as without a host. Paths are compared after
// resolving symbolic links, so a link in the home folder does not widen it.
//
// QUENDAL_FILE_ACCESS_LOG=<file> appends one tab-separated line per event:
//   begin <token> <path> | refuse <path> | end <token> | end-unknown <token>
// and, at exit, "unended <token> <path>" for each grant that was never ended.
// Hooks may be called from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quendal::launcher {

// Set once, before the interpreter starts.
void configureFileAccess(std::vector<std::filesystem::path> allowedRoots);

// The roots of the policy: the bundle (if any), the home and temporary folders,
// and each command-line argument taken as a path (for "--name=value" the value
// too), relative ones against the current directory.
std::vector<std::filesystem::path> defaultAllowedRoots(const std::filesystem::path& bundle,
                                                       const std::vector<std::string>& arguments);

// What the two exported hooks do.
int64_t beginFileAccess(const char* path);
void endFileAccess(int64_t token);

// Logs each grant still open. Call once the program and its finalisation are over.
void reportUnendedFileAccess();

}  // namespace quendal::launcher
