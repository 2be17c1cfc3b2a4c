// Windows on GTK3 over X11. The content is an overlay of a drawing area that
// owns a native X11 window (the GPU surface) and the buttons of the content
// view, placed where the view's layout puts them.
#include <algorithm>
#include <vector>

#include <unistd.h>

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include "platform/ui/window.hpp"

namespace quendal::ui {
namespace {

double seconds(guint32 serverTimeMs)
{
    // X server time counts milliseconds on the monotonic clock, i.e. since start-up.
    return static_cast<double>(serverTimeMs) / 1000.0;
}

class GtkNativeWindow final : public NativeWindow {
public:
    GtkNativeWindow(Window& owner, Rect contentRect, unsigned styleMask) : owner_(owner), size_(contentRect.size)
    {
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        g_object_ref_sink(window_);
        gtk_window_set_resizable(GTK_WINDOW(window_), (styleMask & WindowStyleResizable) != 0);
        gtk_window_set_deletable(GTK_WINDOW(window_), (styleMask & WindowStyleClosable) != 0);
        gtk_window_set_default_size(GTK_WINDOW(window_), static_cast<int>(size_.width), static_cast<int>(size_.height));
        g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);
        g_signal_connect(window_, "key-press-event", G_CALLBACK(onKeyPress), this);
        g_signal_connect(window_, "notify::scale-factor", G_CALLBACK(onScaleFactor), this);
    }

    ~GtkNativeWindow() override { close(); }

    void setTitle(const std::string& title) override
    {
        if (window_) gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
    }

    void setContentView(View& view) override
    {
        if (!window_ || content_) return;
        content_ = &view;
        overlay_ = gtk_overlay_new();
        area_ = gtk_drawing_area_new();
        // The GPU presents into the area's own X window; GTK must not paint it.
        gtk_widget_set_app_paintable(area_, TRUE);
        gtk_widget_set_can_focus(area_, TRUE);
        gtk_widget_set_hexpand(area_, TRUE);
        gtk_widget_set_vexpand(area_, TRUE);
        gtk_widget_add_events(area_, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_BUTTON_MOTION_MASK |
                                         GDK_KEY_PRESS_MASK);
        g_signal_connect(area_, "draw", G_CALLBACK(onDraw), this);
        g_signal_connect_after(area_, "realize", G_CALLBACK(onRealize), this);
        g_signal_connect(area_, "size-allocate", G_CALLBACK(onSizeAllocate), this);
        g_signal_connect(area_, "button-press-event", G_CALLBACK(onButton), this);
        g_signal_connect(area_, "button-release-event", G_CALLBACK(onButton), this);
        g_signal_connect(area_, "motion-notify-event", G_CALLBACK(onMotion), this);
        gtk_container_add(GTK_CONTAINER(overlay_), area_);
        g_signal_connect(overlay_, "get-child-position", G_CALLBACK(onChildPosition), this);
        for (const auto& button : view.buttons()) {
            GtkWidget* widget = gtk_button_new_with_label(button->title().c_str());
            // Clicking the button must leave keyboard focus on the surface.
            gtk_widget_set_focus_on_click(widget, FALSE);
            gtk_widget_set_no_show_all(widget, TRUE);
            gtk_widget_set_visible(widget, !button->isHidden());
            g_signal_connect(widget, "clicked", G_CALLBACK(onClicked), button.get());
            gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), widget);
            buttons_.push_back({button.get(), widget});
        }
        gtk_container_add(GTK_CONTAINER(window_), overlay_);
    }

    void setContentSize(Size size) override
    {
        if (!window_) return;
        size_ = size;
        gtk_window_set_default_size(GTK_WINDOW(window_), static_cast<int>(size.width), static_cast<int>(size.height));
        gtk_window_resize(GTK_WINDOW(window_), static_cast<int>(size.width), static_cast<int>(size.height));
    }

    void center() override
    {
        if (window_) gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
    }

    void show() override
    {
        if (!window_) return;
        // Showing allocates the toplevel at its default size at once.
        gtk_widget_show_all(window_);
        gtk_window_present(GTK_WINDOW(window_));
    }

    void focus(View&) override
    {
        if (area_) gtk_widget_grab_focus(area_);
    }

    double backingScaleFactor() override
    {
        return window_ ? static_cast<double>(gtk_widget_get_scale_factor(window_)) : 1.0;
    }

    int refreshRate() override
    {
        if (!window_) return 0;
        GdkDisplay* display = gtk_widget_get_display(window_);
        GdkWindow* gdkWindow = gtk_widget_get_window(window_);
        GdkMonitor* monitor = gdkWindow ? gdk_display_get_monitor_at_window(display, gdkWindow)
                                        : gdk_display_get_primary_monitor(display);
        if (!monitor) return 0;
        return (gdk_monitor_get_refresh_rate(monitor) + 500) / 1000;  // millihertz
    }

    bool isOnScreen() override
    {
        if (!window_ || !gtk_widget_get_visible(window_)) return false;
        GdkWindow* gdkWindow = gtk_widget_get_window(window_);
        return gdkWindow &&
               !(gdk_window_get_state(gdkWindow) & (GDK_WINDOW_STATE_WITHDRAWN | GDK_WINDOW_STATE_ICONIFIED));
    }

    void hide() override
    {
        if (window_) gtk_widget_hide(window_);
    }

    void close() override
    {
        // GTK belongs to the main thread; a window released elsewhere (at exit
        // from another thread) is left to the process's end.
        if (!window_ || gettid() != getpid()) return;
        GtkWidget* window = window_;
        if (area_) g_signal_handlers_disconnect_by_data(area_, this);
        if (overlay_) g_signal_handlers_disconnect_by_data(overlay_, this);
        window_ = overlay_ = area_ = nullptr;
        content_ = nullptr;
        for (auto& entry : buttons_) g_signal_handlers_disconnect_by_data(entry.second, entry.first);
        buttons_.clear();
        g_signal_handlers_disconnect_by_data(window, this);
        GdkDisplay* display = gtk_widget_get_display(window);
        gtk_widget_destroy(window);
        g_object_unref(window);
        // Without a flush the X window stays on screen until the context turns again.
        gdk_display_flush(display);
    }

    void buttonChanged(Button& button) override
    {
        GtkWidget* widget = widgetFor(&button);
        if (!widget) return;
        if (button.title() != gtk_button_get_label(GTK_BUTTON(widget))) {
            gtk_button_set_label(GTK_BUTTON(widget), button.title().c_str());
        }
        gtk_widget_set_visible(widget, !button.isHidden());
    }

    Size buttonFittingSize(const Button& button) override
    {
        GtkWidget* widget = widgetFor(&button);
        if (!widget) return Size{};
        GtkRequisition natural{};
        gtk_widget_get_preferred_size(widget, nullptr, &natural);
        return Size{static_cast<double>(natural.width), static_cast<double>(natural.height)};
    }

    void setNeedsLayout(View&) override
    {
        // Queued on the area itself so that it is allocated again even when its
        // size stays the same.
        if (area_) gtk_widget_queue_resize(area_);
    }

    void layoutIfNeeded(View&) override
    {
        if (window_ && gtk_widget_get_visible(window_)) gtk_container_check_resize(GTK_CONTAINER(window_));
    }

private:
    GtkWidget* widgetFor(const Button* button) const
    {
        for (const auto& entry : buttons_) {
            if (entry.first == button) return entry.second;
        }
        return nullptr;
    }

    static gboolean onDelete(GtkWidget* widget, GdkEvent*, gpointer data)
    {
        auto* self = static_cast<GtkNativeWindow*>(data);
        if (self->owner_.shouldClose()) gtk_widget_hide(widget);
        return TRUE;  // the window is only ever destroyed by close()
    }

    static gboolean onKeyPress(GtkWidget*, GdkEventKey* key, gpointer data)
    {
        auto* self = static_cast<GtkNativeWindow*>(data);
        // Only Escape is a key of the surface; everything else stays GTK's
        // (focus keys, the button's activation).
        if (!self->content_ || key->keyval != GDK_KEY_Escape) return FALSE;
        Event event;
        event.type = EventType::KeyDown;
        event.timestamp = seconds(key->time);
        event.keyCode = kKeyCodeEscape;
        self->content_->keyDown(event);
        return event.handled ? TRUE : FALSE;
    }

    static void onScaleFactor(GObject*, GParamSpec*, gpointer data)
    {
        static_cast<GtkNativeWindow*>(data)->owner_.backingPropertiesChanged();
    }

    static gboolean onDraw(GtkWidget*, cairo_t*, gpointer)
    {
        return TRUE;
    }

    static void onRealize(GtkWidget* area, gpointer data)
    {
        auto* self = static_cast<GtkNativeWindow*>(data);
        GdkWindow* gdkWindow = gtk_widget_get_window(area);
        gdk_window_ensure_native(gdkWindow);
        // GDK merges queued motion events; every move is a pointer event here.
        gdk_window_set_event_compression(gdkWindow, FALSE);
        if (self->content_) {
            self->content_->attachNativeSurface(
                NativeSurface::xlib(GDK_WINDOW_XDISPLAY(gdkWindow), GDK_WINDOW_XID(gdkWindow)));
        }
    }

    static void onSizeAllocate(GtkWidget*, GdkRectangle* allocation, gpointer data)
    {
        auto* self = static_cast<GtkNativeWindow*>(data);
        if (self->content_) {
            self->content_->layout(Size{static_cast<double>(allocation->width), static_cast<double>(allocation->height)});
        }
    }

    static gboolean onChildPosition(GtkOverlay*, GtkWidget* widget, GdkRectangle* allocation, gpointer data)
    {
        auto* self = static_cast<GtkNativeWindow*>(data);
        for (const auto& entry : self->buttons_) {
            if (entry.second != widget) continue;
            const Rect frame = entry.first->frame();
            allocation->x = static_cast<int>(frame.origin.x);
            allocation->y = static_cast<int>(frame.origin.y);
            allocation->width = std::max(1, static_cast<int>(frame.size.width));
            allocation->height = std::max(1, static_cast<int>(frame.size.height));
            return TRUE;
        }
        return FALSE;
    }

    static void onClicked(GtkButton*, gpointer data)
    {
        static_cast<Button*>(data)->performClick();
    }

    static gboolean onButton(GtkWidget*, GdkEventButton* button, gpointer data)
    {
        auto* self = static_cast<GtkNativeWindow*>(data);
        // Double and triple clicks also arrive as two and three plain presses.
        if (!self->content_ || (button->type != GDK_BUTTON_PRESS && button->type != GDK_BUTTON_RELEASE)) return FALSE;
        if (button->button != GDK_BUTTON_PRIMARY && button->button != GDK_BUTTON_SECONDARY) return FALSE;
        const bool left = button->button == GDK_BUTTON_PRIMARY;
        const bool down = button->type == GDK_BUTTON_PRESS;
        Event event;
        event.type = left ? (down ? EventType::LeftMouseDown : EventType::LeftMouseUp)
                          : (down ? EventType::RightMouseDown : EventType::RightMouseUp);
        event.buttonNumber = left ? 0 : 1;
        event.locationInWindow = Point{button->x, button->y};
        event.timestamp = seconds(button->time);
        View& view = *self->content_;
        if (down) {
            if (view.acceptsFirstResponder() && self->area_) gtk_widget_grab_focus(self->area_);
            left ? view.mouseDown(event) : view.rightMouseDown(event);
        } else {
            left ? view.mouseUp(event) : view.rightMouseUp(event);
        }
        return TRUE;
    }

    static gboolean onMotion(GtkWidget*, GdkEventMotion* motion, gpointer data)
    {
        auto* self = static_cast<GtkNativeWindow*>(data);
        if (!self->content_) return FALSE;
        Event event;
        event.locationInWindow = Point{motion->x, motion->y};
        event.timestamp = seconds(motion->time);
        // One drag event per move, for the left button when both are down.
        if (motion->state & GDK_BUTTON1_MASK) {
            event.type = EventType::LeftMouseDragged;
            event.buttonNumber = 0;
            self->content_->mouseDragged(event);
        } else if (motion->state & GDK_BUTTON3_MASK) {
            event.type = EventType::RightMouseDragged;
            event.buttonNumber = 1;
            self->content_->rightMouseDragged(event);
        }
        return TRUE;
    }

    Window& owner_;
    Size size_;
    GtkWidget* window_ = nullptr;
    GtkWidget* overlay_ = nullptr;
    GtkWidget* area_ = nullptr;
    View* content_ = nullptr;
    std::vector<std::pair<Button*, GtkWidget*>> buttons_;
};

}  // namespace

std::unique_ptr<NativeWindow> makeGtkWindow(Window& owner, Rect contentRect, unsigned styleMask)
{
    return std::make_unique<GtkNativeWindow>(owner, contentRect, styleMask);
}

}  // namespace quendal::ui
