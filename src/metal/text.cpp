// Text textures and glyph atlases: strings drawn in white by the text facade
// on the main thread, uploaded as BGRA 8-bit textures; atlases packed in rows
// and optionally turned into signed distance fields.
#include <algorithm>
#include <climits>
#include <cmath>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <glib.h>

#include "metal/functions.hpp"
#include "metal/signed_distance_field.hpp"
#include "metal/state.hpp"
#include "metal/texture.hpp"
#include "platform/image/bitmap_context.hpp"
#include "platform/text/font.hpp"
#include "platform/text/string_drawing.hpp"
#include "python_runtime/main_thread.hpp"

namespace quendal::metal {

namespace {

constexpr double kAtlasWidth = 1024;
constexpr double kAtlasMinimumHeight = 64;

// One placed character of an atlas.
struct PackedGlyph {
    uint32_t codePoint = 0;
    int32_t sequenceIndex = 0;  // into the call's list of sequences
    double x = 0;               // left edge, pixels from the left
    double y = 0;               // top edge, pixels from the top
    double width = 0;
    double height = 0;
    double fifth = 0;  // the width again
    double sixth = 0;
    double seventh = 0;
};

text::Font resolveFont(const char* name, double size)
{
    if (name && *name) {
        if (auto font = text::Font::withName(name, size)) return *font;
    }
    return text::Font::systemFont(size);
}

// A texture side as the device is asked for it, or none when the computed size
// cannot be one (not finite, or past what any device holds).
std::optional<uint32_t> textureSide(double side)
{
    if (!(side >= 1)) side = 1;
    if (side > static_cast<double>(device()->maxTextureSide())) return std::nullopt;
    return static_cast<uint32_t>(side);
}

// Registers texture under a new handle and builds the result, adding "glyphs"
// when given (the reference is taken over). Interpreter lock held.
PyObject* registerTexture(std::shared_ptr<gpu::Texture> texture, uint32_t width, uint32_t height, PyObject* glyphs)
{
    const int64_t handle = QuendalPyNextHandle();
    {
        std::lock_guard lock(gStateMutex);
        gTextures.emplace(handle, TextureRecord{handle, std::move(texture), width, height,
                                                static_cast<uint64_t>(gpu::PixelFormat::BGRA8Unorm)});
    }
    PyObject* result = glyphs ? Py_BuildValue("{s:L,s:(II),s:N}", "handle", static_cast<long long>(handle), "size",
                                              width, height, "glyphs", glyphs)
                              : Py_BuildValue("{s:L,s:(II)}", "handle", static_cast<long long>(handle), "size",
                                              width, height);
    if (!result) QuendalPyForgetTexture(handle);
    return result;
}

// Draws text with font into a new texture just large enough for it. Main thread.
std::shared_ptr<gpu::Texture> QuendalPyRasterizeText(std::string_view string, const text::Font& font,
                                                     uint32_t& width, uint32_t& height)
{
    // Glyphs that large fit no texture.
    if (font.pointSize() > text::Font::kLargestDrawableSize && !string.empty()) return nullptr;
    text::Typesetter typesetter;
    const text::TextLine line = typesetter.line(string, font);
    const text::TextSize size = line.size();
    const double padding = std::max(4.0, std::ceil(0.18 * font.pointSize()));
    const auto w = textureSide(std::ceil(size.width + 2 * padding));
    const auto h = textureSide(std::ceil(size.height + 2 * padding));
    if (!w || !h) return nullptr;
    auto texture = QuendalPyMakeBitmapTexture(*w, *h, [&](uint8_t* pixels) {
        image::BitmapContext bitmap(pixels, *w, *h, size_t{*w} * 4);
        text::GraphicsContext context(bitmap);
        if (!context.valid()) return false;
        line.drawAtPoint(context, padding, padding);
        return true;
    });
    width = *w;
    height = *h;
    return texture;
}

// Measures each sequence into glyphs, in the order given. Each sequence is laid
// out again to draw it: keeping every layout would cost far more memory than
// the atlas for long lists of characters.
void measureGlyphs(text::Typesetter& typesetter, const text::Font& font,
                   const std::vector<std::string_view>& sequences, const std::vector<uint32_t>& codePoints,
                   std::vector<PackedGlyph>& glyphs)
{
    glyphs.reserve(sequences.size());
    for (size_t i = 0; i < sequences.size(); ++i) {
        const text::TextSize size = typesetter.line(sequences[i], font).size();
        PackedGlyph glyph;
        glyph.codePoint = codePoints[i];
        glyph.sequenceIndex = static_cast<int32_t>(i);
        glyph.width = std::max(1.0, std::ceil(size.width));
        glyph.height = std::max(1.0, std::ceil(size.height));
        glyph.fifth = glyph.width;
        glyphs.push_back(glyph);
    }
}

// Places the glyphs in rows of the atlas's fixed width; returns the height the
// rows need. Every glyph, a row's first included, checks that its cell fits, so
// a glyph wider than the atlas sits alone at the row start.
double packGlyphs(std::vector<PackedGlyph>& glyphs, double padding)
{
    double x = padding;
    double y = padding;
    double rowHeight = 0;
    for (PackedGlyph& glyph : glyphs) {
        const double cellWidth = glyph.width + 2 * padding;
        const double cellHeight = glyph.height + 2 * padding;
        if (x + cellWidth > kAtlasWidth) {
            y = y + (padding + rowHeight);
            x = padding;
            rowHeight = 0;
        }
        glyph.x = x;
        glyph.y = y;
        x = x + cellWidth;
        rowHeight = std::max(rowHeight, cellHeight);
    }
    return std::ceil(padding + (rowHeight + y));
}

// Measures, packs and draws the sequences into a new atlas texture, filling
// glyphs in packing order. Main thread.
std::shared_ptr<gpu::Texture> QuendalPyBuildGlyphAtlas(const std::vector<std::string_view>& sequences,
                                                       const std::vector<uint32_t>& codePoints,
                                                       const char* fontName, double fontSize, double requestedPadding,
                                                       bool sdf, double sdfSpread, std::vector<PackedGlyph>& glyphs,
                                                       uint32_t& atlasHeight)
{
    const text::Font font = resolveFont(fontName, fontSize);
    if (font.pointSize() > text::Font::kLargestDrawableSize && !sequences.empty()) return nullptr;
    const double padding =
        requestedPadding >= 0 ? requestedPadding : std::max(2.0, std::ceil(0.1 * font.pointSize()));

    text::Typesetter typesetter;
    measureGlyphs(typesetter, font, sequences, codePoints, glyphs);
    const double needed = std::max(kAtlasMinimumHeight, packGlyphs(glyphs, padding));
    double height = kAtlasMinimumHeight;
    while (height < needed) height *= 2;
    const auto side = textureSide(height);
    if (!side) return nullptr;
    atlasHeight = *side;

    const auto width = static_cast<uint32_t>(kAtlasWidth);
    return QuendalPyMakeBitmapTexture(width, *side, [&](uint8_t* pixels) {
        {
            image::BitmapContext bitmap(pixels, width, *side, size_t{width} * 4);
            text::GraphicsContext context(bitmap);
            // Without a context nothing is drawn and the zero-filled bitmap is used as it is.
            if (context.valid()) {
                for (const PackedGlyph& glyph : glyphs) {
                    typesetter.line(sequences[glyph.sequenceIndex], font).drawAtPoint(context, glyph.x, glyph.y);
                }
            }
        }
        return !sdf || QuendalPyApplySignedDistanceField(pixels, width, *side, size_t{width} * 4, sdfSpread);
    });
}

// glyphs as the dict of code point -> (x, y, width, height, fifth, sixth,
// seventh); a later duplicate replaces an earlier one.
PyObject* glyphDict(const std::vector<PackedGlyph>& glyphs)
{
    PyObject* dict = PyDict_New();
    if (!dict) return nullptr;
    for (const PackedGlyph& glyph : glyphs) {
        PyObject* key = PyLong_FromUnsignedLong(glyph.codePoint);
        PyObject* value = Py_BuildValue("(ddddddd)", glyph.x, glyph.y, glyph.width, glyph.height, glyph.fifth,
                                        glyph.sixth, glyph.seventh);
        const int failed = (!key || !value) ? -1 : PyDict_SetItem(dict, key, value);
        Py_XDECREF(key);
        Py_XDECREF(value);
        if (failed) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

}  // namespace

PyObject* metal_create_text_texture(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"text", "font_size", "font_name", nullptr};
    const char* textArgument = nullptr;
    double fontSize = 0;
    const char* fontName = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sd|z", const_cast<char**>(kwlist), &textArgument, &fontSize,
                                     &fontName)) {
        return nullptr;
    }
    if (!QuendalPyEnsureDevice("Metal device is unavailable on this device.")) return nullptr;

    const text::Font font = resolveFont(fontName, fontSize);
    const std::string_view string(textArgument);
    std::shared_ptr<gpu::Texture> texture;
    uint32_t width = 0;
    uint32_t height = 0;
    // Pango measures lengths in int.
    if (string.size() <= INT_MAX) {
        runOnMainSync([&] {
            try {
                texture = QuendalPyRasterizeText(string, font, width, height);
            } catch (const std::exception&) {
                texture = nullptr;  // out of memory: nothing was registered
            }
        });
    }
    if (!texture) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to rasterize text into a Metal texture.");
        return nullptr;
    }
    return registerTexture(std::move(texture), width, height, nullptr);
}

PyObject* metal_create_glyph_atlas(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"font_name", "font_size", "chars", "padding", "sdf", "sdf_spread", nullptr};
    const char* fontName = nullptr;
    double fontSize = 0;
    const char* charsArgument = nullptr;
    double padding = -1.0;
    int sdf = 0;
    double sdfSpread = 8.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "zds|dpd", const_cast<char**>(kwlist), &fontName, &fontSize,
                                     &charsArgument, &padding, &sdf, &sdfSpread)) {
        return nullptr;
    }
    if (!QuendalPyEnsureDevice("Metal device unavailable")) return nullptr;

    const std::string_view chars(charsArgument);
    if (chars.size() > INT_MAX) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to create glyph atlas texture");
        return nullptr;
    }
    // Composed character sequences, each keyed by its first UTF-16 unit, or by
    // the scalar value of a leading surrogate pair: for well-formed text both
    // are the sequence's first scalar value.
    std::vector<std::string_view> sequences = text::composedCharacterSequences(chars);
    std::vector<uint32_t> codePoints;
    codePoints.reserve(sequences.size());
    for (std::string_view sequence : sequences) codePoints.push_back(g_utf8_get_char(sequence.data()));

    std::shared_ptr<gpu::Texture> texture;
    std::vector<PackedGlyph> glyphs;
    uint32_t height = 0;
    const std::string fontNameText = fontName ? fontName : "";
    runOnMainSync([&] {
        try {
            texture = QuendalPyBuildGlyphAtlas(sequences, codePoints, fontName ? fontNameText.c_str() : nullptr,
                                               fontSize, padding, sdf != 0, sdfSpread, glyphs, height);
        } catch (const std::exception&) {
            texture = nullptr;
        }
    });
    if (!texture) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to create glyph atlas texture");
        return nullptr;
    }
    PyObject* glyphTable = glyphDict(glyphs);
    if (!glyphTable) return nullptr;
    return registerTexture(std::move(texture), static_cast<uint32_t>(kAtlasWidth), height, glyphTable);
}

}  // namespace quendal::metal
