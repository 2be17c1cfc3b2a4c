#include "platform/ui/share_window.hpp"

#include <cmath>

#include <gtk/gtk.h>

namespace quendal::ui {

PushButton::PushButton(std::string title, Rect frame) : title_(std::move(title)), frame_(frame)
{
    widget_ = gtk_button_new_with_label(title_.c_str());
    g_object_ref_sink(widget_);
    gtk_widget_set_size_request(widget_, static_cast<int>(std::lround(frame.size.width)),
                                static_cast<int>(std::lround(frame.size.height)));
    g_signal_connect(widget_, "clicked", G_CALLBACK(onClicked), this);
}

PushButton::~PushButton()
{
    g_signal_handlers_disconnect_by_data(widget_, this);
    g_object_unref(widget_);
}

void PushButton::onClicked(GtkWidget*, void* data)
{
    auto* self = static_cast<PushButton*>(data);
    // A copy: the action may drop the button.
    if (auto action = self->action_) action();
}

std::shared_ptr<ShareWindow> ShareWindow::create(Size contentSize, bool closable)
{
    std::shared_ptr<ShareWindow> window(new ShareWindow(contentSize));
    GtkWidget* widget = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(widget);
    window->window_ = widget;
    // A fixed content size: the window sizes itself to the layout's request.
    gtk_window_set_resizable(GTK_WINDOW(widget), FALSE);
    gtk_window_set_deletable(GTK_WINDOW(widget), closable);
    window->layout_ = gtk_fixed_new();
    gtk_widget_set_size_request(window->layout_, static_cast<int>(std::lround(contentSize.width)),
                                static_cast<int>(std::lround(contentSize.height)));
    gtk_container_add(GTK_CONTAINER(widget), window->layout_);
    g_signal_connect(widget, "delete-event", G_CALLBACK(onDelete), window.get());
    return window;
}

ShareWindow::~ShareWindow()
{
    close();
}

void ShareWindow::setTitle(const std::string& title)
{
    if (window_) gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
}

void ShareWindow::addButton(PushButton& button)
{
    if (!window_) return;
    const Rect frame = button.frame();
    const double top = contentSize_.height - frame.origin.y - frame.size.height;
    gtk_fixed_put(GTK_FIXED(layout_), button.widget(), static_cast<int>(std::lround(frame.origin.x)),
                  static_cast<int>(std::lround(top)));
    gtk_widget_grab_focus(button.widget());
}

void ShareWindow::center()
{
    if (window_) gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
}

void ShareWindow::makeKeyAndOrderFront()
{
    if (!window_) return;
    gtk_widget_show_all(window_);
    gtk_window_present(GTK_WINDOW(window_));
}

void ShareWindow::close()
{
    if (!window_) return;
    GtkWidget* window = window_;
    window_ = layout_ = nullptr;
    g_signal_handlers_disconnect_by_data(window, this);
    GdkDisplay* display = gtk_widget_get_display(window);
    gtk_widget_destroy(window);
    g_object_unref(window);
    // Without a flush the X window stays on screen until the context turns again.
    gdk_display_flush(display);
}

int ShareWindow::onDelete(GtkWidget*, void*, void* data)
{
    auto* self = static_cast<ShareWindow*>(data);
    // The delegate may drop its last reference to this window.
    auto keep = self->shared_from_this();
    if (!self->delegate_ || self->delegate_->windowShouldClose(*self)) self->close();
    return TRUE;  // GTK never destroys the window on its own
}

}  // namespace quendal::ui
