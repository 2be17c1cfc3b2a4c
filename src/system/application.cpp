#include "system/dispatch.hpp"

#include "platform/ui/gtk_init.hpp"

namespace quendal::system {

// The application object here is GTK on the display: started lazily on the
// main thread. There is no separate activation step; presenting a window is
// what brings the application to the front.
void QuendalPyPrepareApplication()
{
    ui::systemGtkAvailable();
}

}  // namespace quendal::system
