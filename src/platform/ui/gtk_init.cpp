#include "platform/ui/gtk_init.hpp"

#include <cstdlib>

#include <gtk/gtk.h>

namespace quendal::ui {

bool gtkInitialize()
{
    // GTK opens only X11 displays, named by DISPLAY. Without one, a failed
    // gtk_init_check would cost memory that GTK keeps, on every retry.
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return false;
    // The embedding interpreter owns the process locale. GTK warns when this
    // comes after any gtk_init, a failed one or the other module's included
    // (both modules carry this code), so a process-wide GLib quark marks it done.
    constexpr const char* kLocaleKept = "quendal-gtk-keeps-locale";
    if (!g_quark_try_string(kLocaleKept)) {
        gtk_disable_setlocale();
        g_quark_from_static_string(kLocaleKept);
    }
    // The GPU surface is made from an X11 window; Wayland desktops go through XWayland.
    gdk_set_allowed_backends("x11");
    return gtk_init_check(nullptr, nullptr);
}

bool systemGtkAvailable()
{
    static bool initialised = false;
    if (!initialised) initialised = gtkInitialize();
    return initialised;
}

}  // namespace quendal::ui
