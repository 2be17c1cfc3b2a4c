// Views, buttons and view controllers. Main thread only: the window system
// calls their input and layout methods from the default main context.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/native_surface.hpp"
#include "platform/ui/event.hpp"
#include "platform/ui/geometry.hpp"

namespace quendal::ui {

class Button;
class NativeWindow;
class ViewController;
class Window;

class Responder {
public:
    virtual ~Responder() = default;
    virtual void mouseDown(const Event&) {}
    virtual void mouseDragged(const Event&) {}
    virtual void mouseUp(const Event&) {}
    virtual void rightMouseDown(const Event&) {}
    virtual void rightMouseDragged(const Event&) {}
    virtual void rightMouseUp(const Event&) {}
    // The end of the responder chain: the window system handles the key.
    virtual void keyDown(const Event& event) { event.handled = false; }
};

class View : public Responder {
public:
    explicit View(Rect frame) : frame_(frame) {}

    Rect frame() const { return frame_; }
    Rect bounds() const { return Rect{{0, 0}, frame_.size}; }
    Window* window() const { return window_; }
    ViewController* viewController() const { return controller_; }

    void setWantsLayer(bool wantsLayer);
    bool wantsLayer() const { return wantsLayer_; }
    virtual bool wantsUpdateLayer() const { return false; }
    virtual bool isFlipped() const { return false; }
    virtual bool acceptsFirstResponder() const { return false; }
    virtual bool acceptsFirstMouse(const Event*) const { return false; }

    void addSubview(std::shared_ptr<Button> button);
    const std::vector<std::shared_ptr<Button>>& buttons() const { return buttons_; }

    // Layout happens on a later main-context iteration, or at once through
    // layoutSubtreeIfNeeded.
    void setNeedsLayout(bool needsLayout);
    void layoutSubtreeIfNeeded();

    // The view fills the window's content, so window and view points coincide.
    Point convertPointFromWindow(Point point) const { return point; }

    // Called by the window system.
    void layout(Size size);
    void attachNativeSurface(const NativeSurface& surface);
    void backingPropertiesChanged();

protected:
    // Made when the view becomes layer-backed.
    virtual void makeBackingLayer() {}
    // Size or backing scale changed, or the native surface appeared.
    virtual void backingGeometryChanged() {}
    virtual void nativeSurfaceAttached(const NativeSurface&) {}

private:
    friend class ViewController;
    friend class Window;
    Rect frame_;
    bool wantsLayer_ = false;
    Window* window_ = nullptr;
    ViewController* controller_ = nullptr;
    std::vector<std::shared_ptr<Button>> buttons_;
};

class Button {
public:
    Button() = default;

    const std::string& title() const { return title_; }
    void setTitle(std::string title);
    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden);
    // Only the rounded push button exists here; the style is kept for callers.
    int bezelStyle() const { return bezelStyle_; }
    void setBezelStyle(int style) { bezelStyle_ = style; }
    void setAction(std::function<void()> action) { action_ = std::move(action); }

    Rect frame() const { return frame_; }
    void setFrame(Rect frame) { frame_ = frame; }
    // Sets the frame's size to what the title needs.
    void sizeToFit();

    // Called by the window system when the user presses the button.
    void performClick();

private:
    friend class View;
    friend class Window;
    std::string title_;
    bool hidden_ = false;
    int bezelStyle_ = 1;
    Rect frame_;
    std::function<void()> action_;
    NativeWindow* native_ = nullptr;
};

class ViewController {
public:
    virtual ~ViewController() = default;
    // Loads the view on first use.
    View* view();
    bool isViewLoaded() const { return view_ != nullptr; }
    void setView(std::shared_ptr<View> view);
    virtual void loadView() = 0;
    virtual void viewDidLayout() {}

private:
    std::shared_ptr<View> view_;
};

}  // namespace quendal::ui
