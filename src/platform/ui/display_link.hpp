// A display link: calls its callback once per refresh of the screen of a view's
// window, on the main thread, from a source on the default main context. Like a
// screen's refresh, it does not fire while the window is hidden or minimised.
// Main thread only; invalidate it before the view goes away.
#pragma once

#include <functional>
#include <memory>

#include <glib.h>

namespace quendal::ui {

class View;

class DisplayLink {
public:
    // Ticks at the screen's refresh rate (60 when the screen reports none, as
    // Xvfb and headless windows do) once added to the main loop.
    static std::shared_ptr<DisplayLink> create(View& view, std::function<void()> callback);
    ~DisplayLink();
    DisplayLink(const DisplayLink&) = delete;
    DisplayLink& operator=(const DisplayLink&) = delete;

    void addToMainRunLoop();
    // The rate becomes preferred; minimum and maximum are kept for callers.
    void setPreferredFrameRateRange(int minimum, int maximum, int preferred);
    int preferredFramesPerSecond() const { return fps_; }
    void invalidate();
    bool isValid() const { return valid_; }

private:
    DisplayLink(View& view, std::function<void()> callback, int fps)
        : view_(&view), callback_(std::move(callback)), fps_(fps)
    {
    }
    static gboolean dispatch(GSource* source, GSourceFunc, gpointer);
    void schedule(gint64 now);

    View* view_;
    std::function<void()> callback_;
    int fps_;
    GSource* source_ = nullptr;
    gint64 next_ = 0;
    bool valid_ = true;
};

}  // namespace quendal::ui
