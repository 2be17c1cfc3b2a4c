// Lazy GTK start-up for the system services module (clipboard). Main thread only.
#pragma once

namespace quendal::ui {

// Initialises GTK on X11 the first time a display can be opened; true while one
// is available. Without a display it tries again on the next call, so a display
// that appears later is still found.
bool systemGtkAvailable();

}  // namespace quendal::ui
