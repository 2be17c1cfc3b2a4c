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

// Runs block on the main thread and returns once it has run. On the main thread
// it runs inline, interpreter lock untouched. From any other thread the caller
// must hold the interpreter lock: it is released while waiting and taken back.
// Never call with a module mutex held: the block usually takes it.
// The block must not touch the interpreter; it reports through captured variables.
void runOnMainSync(const std::function<void()>& block);

// Iterates the default main context without blocking, at most maxDispatches
// rounds. Main thread only.
void pumpMainContext(int maxDispatches = 128);

// One blocking iteration of the default main context bounded by timeoutMs
// (the counterpart of running the run loop for a short while). Main thread only.
void runMainContextOnce(int timeoutMs);

}  // namespace quendal
