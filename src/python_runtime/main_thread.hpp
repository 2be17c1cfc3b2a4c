// Main-thread work from the modules, which may be called holding the
// interpreter lock.
#pragma once

#include <functional>

#include "python_runtime/gil.hpp"
#include "runtime/main_thread.hpp"

namespace quendal {

// Runs block on the main thread and returns once it has run. On the main thread
// it runs inline, interpreter lock untouched. From any other thread the
// interpreter lock, if held, is released while waiting and taken back. Never
// call with a module mutex held: the block usually takes it. The block must not
// touch the interpreter; it reports through captured variables.
inline void runOnMainSync(const std::function<void()>& block)
{
    if (isMainThread()) {
        block();
        return;
    }
    GilReleaseIfHeld release;
    runOnMainAndWait(block);
}

}  // namespace quendal
