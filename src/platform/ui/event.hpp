// Input events as the window system hands them to views.
#pragma once

#include <cstdint>

#include "platform/ui/geometry.hpp"

namespace quendal::ui {

enum class EventType {
    LeftMouseDown,
    LeftMouseUp,
    LeftMouseDragged,
    RightMouseDown,
    RightMouseUp,
    RightMouseDragged,
    KeyDown,
};

// Key codes use the desktop's virtual key numbering that callers know.
inline constexpr uint16_t kKeyCodeEscape = 53;

struct Event {
    EventType type = EventType::KeyDown;
    int buttonNumber = 0;     // 0 left, 1 right
    Point locationInWindow;   // points from the top-left corner of the content
    double timestamp = 0;     // seconds since system start-up
    uint16_t keyCode = 0;
    // Cleared by a responder that lets the event pass on.
    mutable bool handled = true;
};

}  // namespace quendal::ui
