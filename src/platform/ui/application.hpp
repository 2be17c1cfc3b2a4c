// The application object: one per process, made on the main thread by the first
// window. It picks the window system once: GTK3 on X11 when a display can be
// opened, headless otherwise or when QUENDAL_HEADLESS=1.
#pragma once

namespace quendal::ui {

class Application {
public:
    // Null until sharedApplication() has made it. Any thread.
    static Application* shared();
    // Makes the application on first use. Main thread only.
    static Application& sharedApplication();

    bool headless() const { return headless_; }

    // Main thread only.
    void finishLaunching();
    void activate();
    // Flushes pending drawing and requests to the window system.
    void updateWindows();

private:
    explicit Application(bool headless) : headless_(headless) {}
    bool headless_;
};

}  // namespace quendal::ui
