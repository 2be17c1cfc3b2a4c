// The main-thread runtime shared by both modules.
//
// The main thread is the process's initial thread. "The application is running"
// means that thread is iterating GLib's default main context (gtk_main,
// g_main_loop_run, a host launcher's loop); work for the main thread is queued
// there through an attached idle source.
#pragma once

#include <functional>

namespace quendal {

bool isMainThread();

// True while the main thread owns and iterates the default main context. Always
// false on the main thread itself outside such a loop.
bool applicationIsRunning();

// Runs block on the main thread and returns once it has run; on the main thread
// it runs inline. The caller must not hold the interpreter lock or anything the
// block takes: the main thread may need either to get to the block (modules use
// runOnMainSync, which lets go of the interpreter lock while waiting).
void runOnMainAndWait(const std::function<void()>& block);

// Iterates the default main context without blocking, at most maxDispatches
// rounds. Main thread only.
void pumpMainContext(int maxDispatches = 128);

// One blocking iteration of the default main context bounded by timeoutMs
// (the counterpart of running the run loop for a short while). Main thread only.
void runMainContextOnce(int timeoutMs);

}  // namespace quendal
