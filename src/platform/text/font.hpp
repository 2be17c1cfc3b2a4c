// The NSFont-shaped part of the text facade: a font is a Pango font
// description resolved through fontconfig. Sizes are points at 72 dots per
// inch, so a 40-point font draws 40 pixels to the em.
// Any thread: resolution only asks fontconfig, which is thread-safe.
#pragma once

#include <optional>
#include <string>

typedef struct _PangoFontDescription PangoFontDescription;

namespace quendal::text {

class Font {
public:
    // Larger fonts are measured and drawn at this size; callers refuse to draw them.
    static constexpr double kLargestDrawableSize = 16384;

    // The font fontconfig knows by this family, full or PostScript name, in its
    // regular style for a family; none for an empty or unknown name. A size that
    // is not above 0 means the default of 12 points.
    static std::optional<Font> withName(const std::string& name, double size);
    // The system's regular sans-serif font; a size not above 0 means 13 points.
    static Font systemFont(double size);

    Font(const Font& other);
    Font& operator=(const Font& other);
    ~Font();

    double pointSize() const { return pointSize_; }
    // The family Pango will look for (for diagnostics and tests).
    std::string familyName() const;
    const PangoFontDescription* description() const { return description_; }

private:
    Font(PangoFontDescription* description, double pointSize);

    PangoFontDescription* description_ = nullptr;
    double pointSize_ = 0;
};

}  // namespace quendal::text
