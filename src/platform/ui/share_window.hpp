// The small window that anchors the share picker: a titled, closable GTK window
// whose content is a fixed layout of push buttons. Main thread only; needs
// systemGtkAvailable().
//
// Frames are in points with the origin at the bottom-left of the content
// (y up), the way the callers describe them; the window flips them for GTK.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/geometry.hpp"

typedef struct _GtkWidget GtkWidget;

namespace quendal::ui {

class ShareWindow;

class PushButton {
public:
    PushButton(std::string title, Rect frame);
    ~PushButton();
    PushButton(const PushButton&) = delete;
    PushButton& operator=(const PushButton&) = delete;

    const std::string& title() const { return title_; }
    Rect frame() const { return frame_; }
    // Runs on the main thread when the button is pressed (click, Space or Return).
    void setAction(std::function<void()> action) { action_ = std::move(action); }
    GtkWidget* widget() const { return widget_; }

private:
    static void onClicked(GtkWidget*, void* data);
    std::string title_;
    Rect frame_;
    std::function<void()> action_;
    GtkWidget* widget_ = nullptr;  // strong
};

class ShareWindowDelegate {
public:
    virtual ~ShareWindowDelegate() = default;
    // The close box was clicked (the window manager's close request). Return
    // true to let the window close; false keeps it open.
    virtual bool windowShouldClose(ShareWindow& window) = 0;
};

class ShareWindow : public std::enable_shared_from_this<ShareWindow> {
public:
    // A titled window with the given content size; closable adds a close box.
    static std::shared_ptr<ShareWindow> create(Size contentSize, bool closable);
    ~ShareWindow();
    ShareWindow(const ShareWindow&) = delete;
    ShareWindow& operator=(const ShareWindow&) = delete;

    void setTitle(const std::string& title);
    // Not owned; cleared by the delegate before it goes away.
    void setDelegate(ShareWindowDelegate* delegate) { delegate_ = delegate; }
    ShareWindowDelegate* delegate() const { return delegate_; }
    // Places the button by its frame and makes it the first responder, so that
    // the keyboard reaches it once the window is key.
    void addButton(PushButton& button);
    void center();
    void makeKeyAndOrderFront();
    // Destroys the native window; further calls do nothing.
    void close();
    bool isClosed() const { return window_ == nullptr; }
    GtkWidget* widget() const { return window_; }

private:
    explicit ShareWindow(Size contentSize) : contentSize_(contentSize) {}
    static int onDelete(GtkWidget*, void* event, void* data);

    Size contentSize_;
    GtkWidget* window_ = nullptr;  // strong
    GtkWidget* layout_ = nullptr;  // owned by window_
    ShareWindowDelegate* delegate_ = nullptr;
};

}  // namespace quendal::ui
