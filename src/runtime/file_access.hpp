// Scoped access to one file named by path, for as long as the holder lives.
//
// A host launcher may export two plain C functions, QuendalPyBeginFileAccess and
// QuendalPyEndFileAccess; they are looked up once per process and used only as a
// pair. Linux has no security-scoped resource access, so without both hooks the
// holder holds nothing and the owner simply opens the file.
#pragma once

#include <cstdint>
#include <string>

namespace quendal {

using QuendalPyBeginFileAccessFn = int64_t (*)(const char* path);
using QuendalPyEndFileAccessFn = void (*)(int64_t token);

struct QuendalPyFileAccessHooks {
    QuendalPyBeginFileAccessFn begin = nullptr;
    QuendalPyEndFileAccessFn end = nullptr;
};

// Looked up on first use (thread-safe) and kept for the life of the process.
const QuendalPyFileAccessHooks& QuendalPyGetFileAccessHooks();

class QuendalPyFileAccess {
public:
    explicit QuendalPyFileAccess(const std::string& path);
    ~QuendalPyFileAccess();

    QuendalPyFileAccess(const QuendalPyFileAccess&) = delete;
    QuendalPyFileAccess& operator=(const QuendalPyFileAccess&) = delete;

private:
    int64_t token_ = 0;  // 0: nothing to end
    QuendalPyEndFileAccessFn endHook_ = nullptr;
};

}  // namespace quendal
