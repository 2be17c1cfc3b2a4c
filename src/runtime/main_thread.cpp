#include "runtime/main_thread.hpp"

#include <condition_variable>
#include <mutex>

#include <glib.h>
#include <unistd.h>


namespace quendal {

bool isMainThread()
{
    // Asked several times per call into a module; both ids are system calls.
    thread_local const bool main = gettid() == getpid();
    return main;
}

bool applicationIsRunning()
{
    if (isMainThread()) return g_main_depth() > 0;
    GMainContext* context = g_main_context_default();
    // Acquiring fails while the main thread owns the context, which it does for
    // exactly as long as it iterates it.
    if (g_main_context_acquire(context)) {
        g_main_context_release(context);
        return false;
    }
    return true;
}

namespace {

// GLib hands the job to the main thread under its main context's lock, which is
// built without ThreadSanitizer; these tell it about that order.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
void annotateReleased(void* address) { __tsan_release(address); }
void annotateAcquired(void* address) { __tsan_acquire(address); }
#else
void annotateReleased(void*) {}
void annotateAcquired(void*) {}
#endif

struct MainThreadJob {
    const std::function<void()>* block = nullptr;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};

gboolean runJob(gpointer data)
{
    auto* job = static_cast<MainThreadJob*>(data);
    annotateAcquired(job);
    try {
        (*job->block)();
    } catch (...) {
        // Blocks report through their captures; an escaping exception must not
        // unwind through GLib or leave the caller waiting forever.
    }
    // Notified under the lock: the waiter owns the job on its stack and may
    // return, destroying it, as soon as it sees done.
    std::lock_guard lock(job->mutex);
    job->done = true;
    job->finished.notify_one();
    return G_SOURCE_REMOVE;
}

}  // namespace

void runOnMainAndWait(const std::function<void()>& block)
{
    if (isMainThread()) {
        block();
        return;
    }
    MainThreadJob job{&block};
    annotateReleased(&job);
    // An attached idle source always runs on the context's owner; g_main_context_invoke
    // would run the block right here whenever no loop is running.
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runJob, &job, nullptr);
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);

    std::unique_lock lock(job.mutex);
    job.finished.wait(lock, [&] { return job.done; });
}

void pumpMainContext(int maxDispatches)
{
    GMainContext* context = g_main_context_default();
    for (int i = 0; i < maxDispatches; ++i) {
        if (!g_main_context_iteration(context, FALSE)) break;
    }
}

void runMainContextOnce(int timeoutMs)
{
    GMainContext* context = g_main_context_default();
    GSource* timeout = g_timeout_source_new(static_cast<guint>(timeoutMs));
    g_source_set_callback(timeout, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(timeout, context);
    g_main_context_iteration(context, TRUE);
    g_source_destroy(timeout);
    g_source_unref(timeout);
}

}  // namespace quendal
