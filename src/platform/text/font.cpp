#include "platform/text/font.hpp"

#include <algorithm>
#include <cmath>

#include <fontconfig/fontconfig.h>
#include <pango/pango.h>
#include <pango/pangofc-fontmap.h>

namespace quendal::text {

namespace {

constexpr double kDefaultNamedSize = 12.0;
constexpr double kDefaultSystemSize = 13.0;
// FreeType fails on sizes far past this, and its failure stays with the face,
// so that no later text of the font draws. Nothing this large fits a texture.
constexpr double kLargestPangoSize = Font::kLargestDrawableSize;
// One Pango unit: a size that rounds to 0 falls back to Pango's default.
constexpr double kSmallestPangoSize = 1.0 / PANGO_SCALE;

double effectiveSize(double size, double fallback)
{
    return (size > 0) ? size : fallback;  // NaN too
}

void setSize(PangoFontDescription* description, double size)
{
    pango_font_description_set_absolute_size(description,
                                             std::clamp(size, kSmallestPangoSize, kLargestPangoSize) * PANGO_SCALE);
}

// The first font fontconfig lists whose property (a string) equals name.
FcPattern* findFont(const char* property, const std::string& name)
{
    FcPattern* pattern = FcPatternCreate();
    FcPatternAddString(pattern, property, reinterpret_cast<const FcChar8*>(name.c_str()));
    FcObjectSet* objects = FcObjectSetBuild(FC_FAMILY, FC_STYLE, FC_WEIGHT, FC_SLANT, FC_WIDTH, nullptr);
    FcFontSet* fonts = FcFontList(nullptr, pattern, objects);
    FcPattern* found = nullptr;
    if (fonts && fonts->nfont > 0) {
        found = fonts->fonts[0];
        FcPatternReference(found);
    }
    if (fonts) FcFontSetDestroy(fonts);
    FcObjectSetDestroy(objects);
    FcPatternDestroy(pattern);
    return found;
}

// Family names compare as fontconfig compares them: ignoring case and blanks.
bool sameFamily(const char* a, const char* b)
{
    for (;;) {
        while (*a == ' ') ++a;
        while (*b == ' ') ++b;
        if (g_ascii_tolower(*a) != g_ascii_tolower(*b)) return false;
        if (!*a) return true;
        ++a;
        ++b;
    }
}

// The spelling of the family that matched name; Pango wants one of the font's own.
std::string matchingFamily(FcPattern* font, const std::string& name)
{
    FcChar8* family = nullptr;
    for (int i = 0; FcPatternGetString(font, FC_FAMILY, i, &family) == FcResultMatch; ++i) {
        if (sameFamily(reinterpret_cast<const char*>(family), name.c_str())) {
            return reinterpret_cast<const char*>(family);
        }
    }
    return name;
}

}  // namespace

Font::Font(PangoFontDescription* description, double pointSize) : description_(description), pointSize_(pointSize) {}

Font::Font(const Font& other)
    : description_(pango_font_description_copy(other.description_)), pointSize_(other.pointSize_)
{
}

Font& Font::operator=(const Font& other)
{
    if (this != &other) {
        pango_font_description_free(description_);
        description_ = pango_font_description_copy(other.description_);
        pointSize_ = other.pointSize_;
    }
    return *this;
}

Font::~Font()
{
    pango_font_description_free(description_);
}

std::optional<Font> Font::withName(const std::string& name, double size)
{
    if (name.empty() || !FcInit()) return std::nullopt;
    const double points = effectiveSize(size, kDefaultNamedSize);
    PangoFontDescription* description = nullptr;
    if (FcPattern* font = findFont(FC_FAMILY, name)) {
        description = pango_font_description_new();
        pango_font_description_set_family(description, matchingFamily(font, name).c_str());
        FcPatternDestroy(font);
    } else {
        for (const char* property : {FC_POSTSCRIPT_NAME, FC_FULLNAME}) {
            if (FcPattern* face = findFont(property, name)) {
                description = pango_fc_font_description_from_pattern(face, FALSE);
                FcPatternDestroy(face);
                break;
            }
        }
    }
    if (!description) return std::nullopt;
    setSize(description, points);
    return Font(description, points);
}

Font Font::systemFont(double size)
{
    const double points = effectiveSize(size, kDefaultSystemSize);
    PangoFontDescription* description = pango_font_description_new();
    pango_font_description_set_family(description, "sans-serif");
    pango_font_description_set_weight(description, PANGO_WEIGHT_NORMAL);
    setSize(description, points);
    return Font(description, points);
}

std::string Font::familyName() const
{
    const char* family = pango_font_description_get_family(description_);
    return family ? family : "";
}

}  // namespace quendal::text
