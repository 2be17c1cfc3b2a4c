// Windows without a display: the requested size at scale 1.0, layout on the
// main context like a real window, and no input.
#include <glib.h>

#include "platform/ui/window.hpp"

namespace quendal::ui {
namespace {

constexpr int kHeadlessRefreshRate = 60;

class HeadlessNativeWindow final : public NativeWindow {
public:
    HeadlessNativeWindow(Window&, Rect contentRect, unsigned) : size_(contentRect.size) {}
    ~HeadlessNativeWindow() override { cancelLayout(); }

    void setTitle(const std::string&) override {}

    void setContentView(View& view) override
    {
        content_ = &view;
        needsLayout_ = true;
    }

    void setContentSize(Size size) override
    {
        if (size.width == size_.width && size.height == size_.height) return;
        size_ = size;
        needsLayout_ = true;
    }

    void center() override {}

    void show() override
    {
        visible_ = true;
        if (content_) layoutIfNeeded(*content_);
    }

    void focus(View&) override {}
    double backingScaleFactor() override { return 1.0; }
    int refreshRate() override { return kHeadlessRefreshRate; }
    bool isOnScreen() override { return visible_; }
    void hide() override { visible_ = false; }

    void close() override
    {
        cancelLayout();
        content_ = nullptr;
        visible_ = false;
    }

    void buttonChanged(Button&) override {}

    Size buttonFittingSize(const Button& button) override
    {
        // The rounded push button's metrics, from its title's length.
        return Size{7.0 * static_cast<double>(button.title().size()) + 24.0, 32.0};
    }

    void setNeedsLayout(View&) override
    {
        needsLayout_ = true;
        if (layoutSource_ || !content_) return;
        layoutSource_ = g_idle_add_full(G_PRIORITY_DEFAULT, [](gpointer data) -> gboolean {
            auto* self = static_cast<HeadlessNativeWindow*>(data);
            self->layoutSource_ = 0;
            if (self->content_) self->layoutIfNeeded(*self->content_);
            return G_SOURCE_REMOVE;
        }, this, nullptr);
    }

    void layoutIfNeeded(View& view) override
    {
        if (!needsLayout_ || &view != content_) return;
        needsLayout_ = false;
        view.layout(size_);
    }

private:
    void cancelLayout()
    {
        if (layoutSource_) g_source_remove(layoutSource_);
        layoutSource_ = 0;
    }

    Size size_;
    View* content_ = nullptr;
    bool needsLayout_ = false;
    bool visible_ = false;
    guint layoutSource_ = 0;
};

}  // namespace

std::unique_ptr<NativeWindow> makeHeadlessWindow(Window& owner, Rect contentRect, unsigned styleMask)
{
    return std::make_unique<HeadlessNativeWindow>(owner, contentRect, styleMask);
}

}  // namespace quendal::ui
