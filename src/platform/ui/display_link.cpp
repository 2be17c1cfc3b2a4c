#include "platform/ui/display_link.hpp"

#include "platform/ui/view.hpp"
#include "platform/ui/window.hpp"

namespace quendal::ui {
namespace {

constexpr int kFallbackRate = 60;

GSourceFuncs gTickFuncs = {
    nullptr,
    nullptr,
    [](GSource* source, GSourceFunc callback, gpointer data) -> gboolean {
        return callback ? callback(data) : G_SOURCE_REMOVE;
    },
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

std::shared_ptr<DisplayLink> DisplayLink::create(View& view, std::function<void()> callback)
{
    int fps = view.window() ? view.window()->screenMaximumFramesPerSecond() : 0;
    if (fps < 1) fps = kFallbackRate;
    return std::shared_ptr<DisplayLink>(new DisplayLink(view, std::move(callback), fps));
}

DisplayLink::~DisplayLink()
{
    invalidate();
}

void DisplayLink::addToMainRunLoop()
{
    if (!valid_ || source_) return;
    source_ = g_source_new(&gTickFuncs, sizeof(GSource));
    g_source_set_priority(source_, G_PRIORITY_DEFAULT);
    g_source_set_callback(source_, [](gpointer data) -> gboolean {
        auto* link = static_cast<DisplayLink*>(data);
        link->schedule(g_get_monotonic_time());
        Window* window = link->view_->window();
        if (window && !window->isVisible()) return G_SOURCE_CONTINUE;
        if (link->callback_) link->callback_();
        return G_SOURCE_CONTINUE;
    }, this, nullptr);
    next_ = g_get_monotonic_time();
    schedule(next_);
    g_source_attach(source_, g_main_context_default());
}

void DisplayLink::schedule(gint64 now)
{
    const gint64 period = G_USEC_PER_SEC / fps_;
    // Keep the phase of the refreshes; after a stall, skip to the next one ahead.
    next_ += period;
    if (next_ <= now) next_ = now + period - (now - next_) % period;
    g_source_set_ready_time(source_, next_);
}

void DisplayLink::setPreferredFrameRateRange(int, int, int preferred)
{
    if (preferred < 1) preferred = 1;
    if (preferred == fps_) return;
    fps_ = preferred;
    if (source_) {
        next_ = g_get_monotonic_time();
        schedule(next_);
    }
}

void DisplayLink::invalidate()
{
    valid_ = false;
    if (source_) {
        g_source_destroy(source_);
        g_source_unref(source_);
        source_ = nullptr;
    }
}

}  // namespace quendal::ui
