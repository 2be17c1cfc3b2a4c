// The window classes of presentation windows and the event pump. Main thread
// only, except where noted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/gpu/metal_layer.hpp"
#include "platform/ui/view.hpp"
#include "platform/ui/window.hpp"
#include "runtime/semaphore.hpp"

#define QUENDAL_EXPORT __attribute__((visibility("default")))

namespace quendal::metal {

// The window's content: a flipped view (origin top-left) backed by the GPU
// presentation layer, turning mouse input into pointer events of its window.
class QUENDAL_EXPORT QuendalPyMetalSurfaceView : public ui::View {
public:
    explicit QuendalPyMetalSurfaceView(ui::Rect frame) : View(frame) {}

    int64_t windowHandle = 0;
    ui::Point previousPointer;

    const std::shared_ptr<gpu::MetalLayer>& layer() const { return layer_; }

    bool wantsUpdateLayer() const override { return true; }
    bool isFlipped() const override { return true; }
    bool acceptsFirstResponder() const override { return true; }
    bool acceptsFirstMouse(const ui::Event*) const override { return true; }

    // Input (input.cpp).
    void mouseDown(const ui::Event& event) override;
    void mouseDragged(const ui::Event& event) override;
    void mouseUp(const ui::Event& event) override;
    void rightMouseDown(const ui::Event& event) override;
    void rightMouseDragged(const ui::Event& event) override;
    void rightMouseUp(const ui::Event& event) override;
    void keyDown(const ui::Event& event) override;
    void quendalPointer(const ui::Event& event, int phase);

protected:
    void makeBackingLayer() override;
    // Keeps the drawable size at the bounds times the backing scale.
    void backingGeometryChanged() override;
    void nativeSurfaceAttached(const NativeSurface& surface) override;

private:
    std::shared_ptr<gpu::MetalLayer> layer_;
};

// Controls the surface view and is the window's delegate: counts presses of the
// action button and of the close button, and the layout revision.
class QUENDAL_EXPORT QuendalPyMetalViewController : public ui::ViewController, public ui::WindowDelegate {
public:
    // initWithTitle:
    explicit QuendalPyMetalViewController(std::string title);

    void loadView() override;
    void viewDidLayout() override;
    void windowDidChangeBackingProperties(ui::Window& window) override;
    bool windowShouldClose(ui::Window& window) override;
    void actionTapped();
    void consumeActionCount(int* action, int* close);
    // The display link's callback.
    void vsyncFired();

    std::shared_ptr<QuendalPyMetalSurfaceView> surfaceView;
    std::shared_ptr<ui::Button> actionButton;
    std::string windowTitle;
    int64_t actionPressCount = 0;
    int64_t closePressCount = 0;
    int64_t layoutRevision = 0;
    std::shared_ptr<Semaphore> vsyncSemaphore;
};

// Drains pending window-system events: at most 128 dispatches of the default
// main context, without waiting. Does nothing off the main thread or before the
// first window. Runs without the interpreter lock.
void QuendalPyPumpEvents();

}  // namespace quendal::metal
