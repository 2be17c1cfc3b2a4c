// Where a window's pixels go, as the window system names it. The UI layer makes
// one for each native window it shows (ui::View::nativeSurfaceAttached); the GPU
// facade turns it into a presentation surface (gpu/drawable.cpp). Everything in
// between only passes it along. Headless windows have none: a default-made
// surface is headless.
#pragma once

namespace quendal {

class NativeSurface {
public:
    NativeSurface() = default;
    // display is an Xlib Display*, window an Xlib Window.
    static NativeSurface xlib(void* display, unsigned long window)
    {
        NativeSurface surface;
        surface.xlibDisplay_ = display;
        surface.xlibWindow_ = window;
        return surface;
    }

    bool headless() const { return xlibDisplay_ == nullptr || xlibWindow_ == 0; }
    bool operator==(const NativeSurface&) const = default;

    // For the GPU facade, which makes the Vulkan surface.
    void* xlibDisplay() const { return xlibDisplay_; }
    unsigned long xlibWindow() const { return xlibWindow_; }

private:
    void* xlibDisplay_ = nullptr;
    unsigned long xlibWindow_ = 0;
};

}  // namespace quendal
