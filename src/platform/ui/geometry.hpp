// Points, sizes and rectangles in points (logical pixels), origin top-left.
#pragma once

namespace quendal::ui {

struct Point {
    double x = 0;
    double y = 0;
};

struct Size {
    double width = 0;
    double height = 0;
};

struct Rect {
    Point origin;
    Size size;
};

}  // namespace quendal::ui
