// GTK start-up, shared by both modules: the windows of _metal, the clipboard and share window of _system.
#pragma once

namespace quendal::ui {

// Initialises GTK on X11 if a display can be opened; true when one is. The one
// place GTK is started, by both modules. Main thread only.
bool gtkInitialize();

// Initialises GTK on X11 the first time a display can be opened; true while one
// is available. Without a display it tries again on the next call, so a display
// that appears later is still found.
bool systemGtkAvailable();

}  // namespace quendal::ui
