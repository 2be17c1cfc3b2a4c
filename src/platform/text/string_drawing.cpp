#include "platform/text/string_drawing.hpp"

#include <memory>

#include <cairo.h>
#include <pango/pangocairo.h>

#include "platform/image/bitmap_context.hpp"

namespace quendal::text {

GraphicsContext::GraphicsContext(image::BitmapContext& bitmap)
{
    if (!bitmap.valid()) return;
    cairo_t* cr = cairo_create(bitmap.surface());
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
        cairo_destroy(cr);
        return;
    }
    cairo_set_source_rgba(cr, 1.0, 1.0, 1.0, 1.0);
    cairo_ = cr;
}

GraphicsContext::~GraphicsContext()
{
    if (!cairo_) return;
    cairo_surface_t* surface = cairo_get_target(cairo_);
    cairo_destroy(cairo_);
    cairo_surface_flush(surface);
}

TextLine::TextLine(TextLine&& other) noexcept : layout_(other.layout_), size_(other.size_)
{
    other.layout_ = nullptr;
}

TextLine& TextLine::operator=(TextLine&& other) noexcept
{
    if (this != &other) {
        if (layout_) g_object_unref(layout_);
        layout_ = other.layout_;
        size_ = other.size_;
        other.layout_ = nullptr;
    }
    return *this;
}

TextLine::~TextLine()
{
    if (layout_) g_object_unref(layout_);
}

void TextLine::drawAtPoint(GraphicsContext& context, double x, double y) const
{
    if (!context.cairo_ || !layout_ || (size_.width == 0 && size_.height == 0)) return;
    cairo_move_to(context.cairo_, x, y);
    pango_cairo_show_layout(context.cairo_, layout_);
}

Typesetter::Typesetter()
{
    context_ = pango_font_map_create_context(pango_cairo_font_map_get_default());
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    pango_cairo_context_set_font_options(context_, options);
    cairo_font_options_destroy(options);
    pango_context_set_round_glyph_positions(context_, FALSE);
}

Typesetter::~Typesetter()
{
    g_object_unref(context_);
}

TextLine Typesetter::line(std::string_view text, const Font& font)
{
    PangoLayout* layout = pango_layout_new(context_);
    pango_layout_set_font_description(layout, font.description());
    pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
    TextSize size;
    // An empty layout still has the height of one line; an empty string has no size.
    if (!text.empty()) {
        PangoRectangle logical;
        pango_layout_get_extents(layout, nullptr, &logical);
        size.width = static_cast<double>(logical.width) / PANGO_SCALE;
        size.height = static_cast<double>(logical.height) / PANGO_SCALE;
    }
    return TextLine(layout, size);
}

std::vector<std::string_view> composedCharacterSequences(std::string_view text)
{
    std::vector<std::string_view> sequences;
    if (text.empty()) return sequences;
    const glong characters = g_utf8_strlen(text.data(), static_cast<gssize>(text.size()));
    std::unique_ptr<PangoLogAttr[]> attributes(new PangoLogAttr[characters + 1]);
    pango_get_log_attrs(text.data(), static_cast<int>(text.size()), -1, pango_language_get_default(),
                        attributes.get(), static_cast<int>(characters + 1));
    const char* start = text.data();
    const char* p = text.data();
    for (glong i = 1; i <= characters; ++i) {
        p = g_utf8_next_char(p);
        if (attributes[i].is_cursor_position || i == characters) {
            sequences.emplace_back(start, static_cast<size_t>(p - start));
            start = p;
        }
    }
    return sequences;
}

}  // namespace quendal::text
