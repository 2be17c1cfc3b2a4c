#include "platform/ui/gtk_init.hpp"

#include <gtk/gtk.h>

namespace quendal::ui {

bool systemGtkAvailable()
{
    static bool initialised = false;
    if (initialised) return true;
    // The embedding interpreter owns the process locale.
    gtk_disable_setlocale();
    gdk_set_allowed_backends("x11");
    initialised = gtk_init_check(nullptr, nullptr);
    return initialised;
}

}  // namespace quendal::ui
