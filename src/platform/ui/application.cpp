#include "platform/ui/application.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <gtk/gtk.h>

#include "platform/ui/gtk_init.hpp"
#include "platform/ui/window.hpp"

namespace quendal::ui {
namespace {

std::atomic<Application*> gApplication{nullptr};

bool forcedHeadless()
{
    const char* value = std::getenv("QUENDAL_HEADLESS");
    return value && *value && std::strcmp(value, "0") != 0;
}

}  // namespace

Application* Application::shared()
{
    return gApplication.load(std::memory_order_acquire);
}

Application& Application::sharedApplication()
{
    if (Application* existing = shared()) return *existing;
    const bool headless = forcedHeadless() || !gtkInitialize();
    auto* application = new Application(headless);
    gApplication.store(application, std::memory_order_release);
    return *application;
}

// GTK has no launch step, and presenting a window is what activates the
// application there.
void Application::finishLaunching() {}

void Application::activate() {}

void Application::updateWindows()
{
    if (headless_) return;
    gdk_display_flush(gdk_display_get_default());
}

}  // namespace quendal::ui
