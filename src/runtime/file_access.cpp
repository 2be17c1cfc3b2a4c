#include "runtime/file_access.hpp"

#include <dlfcn.h>

namespace quendal {

const QuendalPyFileAccessHooks& QuendalPyGetFileAccessHooks()
{
    static const QuendalPyFileAccessHooks hooks = [] {
        QuendalPyFileAccessHooks found;
        found.begin = reinterpret_cast<QuendalPyBeginFileAccessFn>(dlsym(RTLD_DEFAULT, "QuendalPyBeginFileAccess"));
        found.end = reinterpret_cast<QuendalPyEndFileAccessFn>(dlsym(RTLD_DEFAULT, "QuendalPyEndFileAccess"));
        return found;
    }();
    return hooks;
}

QuendalPyFileAccess::QuendalPyFileAccess(const std::string& path)
{
    const auto& hooks = QuendalPyGetFileAccessHooks();
    // One hook alone is treated as none: a begin without its end would leak access.
    if (hooks.begin && hooks.end) {
        endHook_ = hooks.end;
        token_ = hooks.begin(path.c_str());
    }
}

QuendalPyFileAccess::~QuendalPyFileAccess()
{
    if (token_ != 0) {
        const int64_t token = token_;
        token_ = 0;
        endHook_(token);
    }
}

}  // namespace quendal
