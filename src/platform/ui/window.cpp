#include "platform/ui/window.hpp"

#include "platform/ui/application.hpp"

namespace quendal::ui {

std::shared_ptr<Window> Window::create(Rect contentRect, unsigned styleMask)
{
    std::shared_ptr<Window> window(new Window);
    const bool headless = Application::sharedApplication().headless();
    window->native_ = headless ? makeHeadlessWindow(*window, contentRect, styleMask)
                               : makeGtkWindow(*window, contentRect, styleMask);
    return window;
}

Window::~Window()
{
    // The native window goes first: its signal handlers point back here.
    native_.reset();
    if (controller_ && controller_->isViewLoaded()) {
        View* view = controller_->view();
        view->window_ = nullptr;
        for (auto& button : view->buttons_) button->native_ = nullptr;
    }
}

void Window::setTitle(const std::string& title)
{
    title_ = title;
    if (!closed_) native_->setTitle(title);
}

void Window::setContentViewController(std::shared_ptr<ViewController> controller)
{
    controller_ = std::move(controller);
    if (!controller_ || closed_) return;
    View* view = controller_->view();
    view->window_ = this;
    for (auto& button : view->buttons_) button->native_ = native_.get();
    native_->setContentView(*view);
}

void Window::setContentSize(Size size)
{
    if (!closed_) native_->setContentSize(size);
}

void Window::center()
{
    if (!closed_) native_->center();
}

void Window::makeKeyAndOrderFront()
{
    if (!closed_) native_->show();
}

bool Window::makeFirstResponder(View* view)
{
    if (closed_ || !view || !view->acceptsFirstResponder() || view->window() != this) return false;
    native_->focus(*view);
    return true;
}

double Window::backingScaleFactor()
{
    return closed_ ? 1.0 : native_->backingScaleFactor();
}

int Window::screenMaximumFramesPerSecond()
{
    return closed_ ? 0 : native_->refreshRate();
}

void Window::orderOut()
{
    if (!closed_) native_->hide();
}

void Window::close()
{
    if (closed_) return;
    closed_ = true;
    native_->close();
}

bool Window::shouldClose()
{
    return delegate_ ? delegate_->windowShouldClose(*this) : true;
}

void Window::backingPropertiesChanged()
{
    if (controller_ && controller_->isViewLoaded()) controller_->view()->backingPropertiesChanged();
    if (delegate_) delegate_->windowDidChangeBackingProperties(*this);
}

}  // namespace quendal::ui
