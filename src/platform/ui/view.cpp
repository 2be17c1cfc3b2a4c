#include "platform/ui/view.hpp"

#include <algorithm>

#include "platform/ui/window.hpp"

namespace quendal::ui {

void View::setWantsLayer(bool wantsLayer)
{
    if (wantsLayer && !wantsLayer_) {
        wantsLayer_ = true;
        makeBackingLayer();
    }
    wantsLayer_ = wantsLayer;
}

void View::addSubview(std::shared_ptr<Button> button)
{
    buttons_.push_back(std::move(button));
}

void View::setNeedsLayout(bool needsLayout)
{
    if (needsLayout && window_ && window_->native()) window_->native()->setNeedsLayout(*this);
}

void View::layoutSubtreeIfNeeded()
{
    if (window_ && window_->native()) window_->native()->layoutIfNeeded(*this);
}

void View::layout(Size size)
{
    frame_.size = size;
    backingGeometryChanged();
    if (controller_) controller_->viewDidLayout();
}

void View::attachNativeSurface(const NativeSurface& surface)
{
    nativeSurfaceAttached(surface);
    backingGeometryChanged();
}

void View::backingPropertiesChanged()
{
    backingGeometryChanged();
}

void Button::setTitle(std::string title)
{
    title_ = std::move(title);
    if (native_) native_->buttonChanged(*this);
}

void Button::setHidden(bool hidden)
{
    hidden_ = hidden;
    if (native_) native_->buttonChanged(*this);
}

void Button::sizeToFit()
{
    if (native_) {
        frame_.size = native_->buttonFittingSize(*this);
        return;
    }
    // Before the button is in a window: the rounded push button's metrics.
    frame_.size = Size{std::max(32.0, 7.0 * static_cast<double>(title_.size()) + 24.0), 32.0};
}

void Button::performClick()
{
    if (action_) action_();
}

View* ViewController::view()
{
    if (!view_) loadView();
    return view_.get();
}

void ViewController::setView(std::shared_ptr<View> view)
{
    if (view_) view_->controller_ = nullptr;
    view_ = std::move(view);
    if (view_) view_->controller_ = this;
}

}  // namespace quendal::ui
