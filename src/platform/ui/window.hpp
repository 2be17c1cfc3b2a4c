// Desktop windows. Main thread only. A Window forwards to the native window of
// the process's window system (GTK or headless); delegates and views hear back
// from it on the main thread.
#pragma once

#include <memory>
#include <string>

#include "platform/ui/geometry.hpp"
#include "platform/ui/view.hpp"

namespace quendal::ui {

enum WindowStyle : unsigned {
    WindowStyleTitled = 1,
    WindowStyleClosable = 2,
    WindowStyleMiniaturizable = 4,
    WindowStyleResizable = 8,
};

class WindowDelegate {
public:
    virtual ~WindowDelegate() = default;
    virtual bool windowShouldClose(Window&) { return true; }
    virtual void windowDidChangeBackingProperties(Window&) {}
};

// What a window system provides for one window.
class NativeWindow {
public:
    virtual ~NativeWindow() = default;
    virtual void setTitle(const std::string& title) = 0;
    virtual void setContentView(View& view) = 0;
    virtual void setContentSize(Size size) = 0;
    virtual void center() = 0;
    virtual void show() = 0;
    virtual void focus(View& view) = 0;
    virtual double backingScaleFactor() = 0;
    // Refresh rate of the window's monitor in Hz; 0 when unknown.
    virtual int refreshRate() = 0;
    // Shown, and neither minimised nor unmapped by the window system.
    virtual bool isOnScreen() = 0;
    virtual void hide() = 0;
    virtual void close() = 0;
    virtual void buttonChanged(Button& button) = 0;
    virtual Size buttonFittingSize(const Button& button) = 0;
    virtual void setNeedsLayout(View& view) = 0;
    virtual void layoutIfNeeded(View& view) = 0;
};

class Window {
public:
    // Never null. Needs Application::sharedApplication().
    static std::shared_ptr<Window> create(Rect contentRect, unsigned styleMask);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    const std::string& title() const { return title_; }
    void setTitle(const std::string& title);
    ViewController* contentViewController() const { return controller_.get(); }
    void setContentViewController(std::shared_ptr<ViewController> controller);
    WindowDelegate* delegate() const { return delegate_; }
    void setDelegate(WindowDelegate* delegate) { delegate_ = delegate; }
    void setContentSize(Size size);
    void center();
    void makeKeyAndOrderFront();
    bool makeFirstResponder(View* view);
    double backingScaleFactor();
    // The refresh rate of the window's screen; 0 when the screen does not say.
    int screenMaximumFramesPerSecond();
    void orderOut();
    void close();
    bool isClosed() const { return closed_; }
    bool isVisible() { return !closed_ && native_->isOnScreen(); }

    // Called by the window system.
    bool shouldClose();
    void backingPropertiesChanged();
    NativeWindow* native() { return native_.get(); }

private:
    Window() = default;
    std::unique_ptr<NativeWindow> native_;
    std::shared_ptr<ViewController> controller_;
    WindowDelegate* delegate_ = nullptr;
    std::string title_;
    bool closed_ = false;
};

// The two window systems.
std::unique_ptr<NativeWindow> makeGtkWindow(Window& owner, Rect contentRect, unsigned styleMask);
std::unique_ptr<NativeWindow> makeHeadlessWindow(Window& owner, Rect contentRect, unsigned styleMask);

}  // namespace quendal::ui
