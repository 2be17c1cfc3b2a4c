// The string-drawing part of the text facade, after NSString's
// sizeWithAttributes: and drawAtPoint:withAttributes: with the two attributes
// this runtime uses: a font and the foreground colour white. Pango shapes and
// measures, PangoCairo draws into a bitmap context.
//
// Threading: a Typesetter, its lines and a GraphicsContext belong to the thread
// that made them (Pango's default font map is per thread); the module uses them
// on the main thread only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/text/font.hpp"

typedef struct _PangoContext PangoContext;
typedef struct _PangoLayout PangoLayout;
typedef struct _cairo cairo_t;

namespace quendal::image {
class BitmapContext;
}

namespace quendal::text {

struct TextSize {
    double width = 0;
    double height = 0;
};

// Drawing into a bitmap context: origin at the top left, y growing downwards
// (Cairo's own orientation; no flip is needed).
class GraphicsContext {
public:
    explicit GraphicsContext(image::BitmapContext& bitmap);
    ~GraphicsContext();  // the bitmap's memory holds every drawing by then
    GraphicsContext(const GraphicsContext&) = delete;
    GraphicsContext& operator=(const GraphicsContext&) = delete;

    bool valid() const { return cairo_ != nullptr; }

private:
    friend class TextLine;
    cairo_t* cairo_ = nullptr;
};

// A string with its attributes, shaped once; measured and drawn any number of times.
class TextLine {
public:
    TextLine(TextLine&& other) noexcept;
    TextLine& operator=(TextLine&& other) noexcept;
    TextLine(const TextLine&) = delete;
    TextLine& operator=(const TextLine&) = delete;
    ~TextLine();

    // Width and height in points of the laid-out text (all its lines); 0 x 0
    // for an empty string.
    TextSize size() const { return size_; }
    // Draws the text in white with the top left of its layout at (x, y).
    void drawAtPoint(GraphicsContext& context, double x, double y) const;

private:
    friend class Typesetter;
    TextLine(PangoLayout* layout, TextSize size) : layout_(layout), size_(size) {}

    PangoLayout* layout_ = nullptr;
    TextSize size_;
};

// The shaping state shared by the lines of one call: grey antialiasing (so
// white text stays B = G = R = A) and unhinted metrics (fractional widths that
// scale with the font size).
class Typesetter {
public:
    Typesetter();
    ~Typesetter();
    Typesetter(const Typesetter&) = delete;
    Typesetter& operator=(const Typesetter&) = delete;

    TextLine line(std::string_view text, const Font& font);

private:
    PangoContext* context_ = nullptr;
};

// The composed character sequences of UTF-8 text (its grapheme clusters), in
// order, as views into text. Any thread.
std::vector<std::string_view> composedCharacterSequences(std::string_view text);

}  // namespace quendal::text
