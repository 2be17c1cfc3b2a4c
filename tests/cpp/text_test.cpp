#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <pango/pango.h>

#include "platform/image/bitmap_context.hpp"
#include "platform/text/font.hpp"
#include "platform/text/string_drawing.hpp"

using namespace quendal::text;
using quendal::image::BitmapContext;

TEST(TextFont, ResolvesFamiliesAndFaceNames)
{
    auto family = Font::withName("dejavu sans", 40);
    ASSERT_TRUE(family);
    EXPECT_EQ(family->familyName(), "DejaVu Sans");
    EXPECT_EQ(family->pointSize(), 40);
    EXPECT_EQ(pango_font_description_get_size(family->description()), 40 * PANGO_SCALE);
    EXPECT_TRUE(pango_font_description_get_size_is_absolute(family->description()));

    auto face = Font::withName("DejaVuSans-Bold", 12);
    ASSERT_TRUE(face);
    EXPECT_EQ(face->familyName(), "DejaVu Sans");
    EXPECT_EQ(pango_font_description_get_weight(face->description()), PANGO_WEIGHT_BOLD);

    EXPECT_FALSE(Font::withName("No Such Font Family 1234", 12));
    EXPECT_FALSE(Font::withName("", 12));
    EXPECT_EQ(Font::withName("DejaVu Serif", 0)->pointSize(), 12);
    EXPECT_EQ(Font::systemFont(-3).pointSize(), 13);
    EXPECT_EQ(Font::systemFont(std::nan("")).pointSize(), 13);
}

TEST(TextDrawing, MeasuresLikeTheFontSizeSays)
{
    Typesetter typesetter;
    const Font small = Font::systemFont(20);
    const Font large = Font::systemFont(40);
    EXPECT_EQ(typesetter.line("", large).size().width, 0);
    EXPECT_EQ(typesetter.line("", large).size().height, 0);

    const TextSize a = typesetter.line("Hamburgefonts", small).size();
    const TextSize b = typesetter.line("Hamburgefonts", large).size();
    EXPECT_GT(a.width, 50);
    EXPECT_NEAR(b.width, 2 * a.width, 1.0);
    EXPECT_NEAR(b.height, 2 * a.height, 1.0);
    // One line of a 40-pixel font is about 40 to 50 pixels high.
    EXPECT_GT(b.height, 40);
    EXPECT_LT(b.height, 55);
    const TextSize two = typesetter.line("Hamburgefonts\nHa", large).size();
    EXPECT_DOUBLE_EQ(two.width, b.width);
    EXPECT_NEAR(two.height, 2 * b.height, 1.0);
}

TEST(TextDrawing, DrawsWhitePremultipliedPixelsAtThePoint)
{
    const uint32_t w = 120, h = 60;
    std::vector<uint8_t> pixels(size_t{w} * h * 4, 0);
    Typesetter typesetter;
    const TextLine line = typesetter.line("Ww", Font::systemFont(30));
    {
        BitmapContext bitmap(pixels.data(), w, h, size_t{w} * 4);
        GraphicsContext context(bitmap);
        ASSERT_TRUE(context.valid());
        line.drawAtPoint(context, 50, 10);
    }
    uint32_t covered = 0;
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* p = &pixels[(size_t{y} * w + x) * 4];
            ASSERT_EQ(p[0], p[3]);
            ASSERT_EQ(p[1], p[3]);
            ASSERT_EQ(p[2], p[3]);
            if (p[3] == 0) continue;
            ++covered;
            EXPECT_GE(x, 49u);
            EXPECT_GE(y, 10u);
            EXPECT_LT(y, 10 + line.size().height + 1);
        }
    }
    EXPECT_GT(covered, 100u);
}

TEST(TextDrawing, SplitsComposedCharacterSequences)
{
    auto split = [](const std::string& text) {
        std::vector<std::string> out;
        for (auto sequence : composedCharacterSequences(text)) out.emplace_back(sequence);
        return out;
    };
    EXPECT_TRUE(split("").empty());
    EXPECT_EQ(split("ab"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(split("e\u0301x"), (std::vector<std::string>{"e\u0301", "x"}));
    EXPECT_EQ(split("\U0001F600a"), (std::vector<std::string>{"\U0001F600", "a"}));
    EXPECT_EQ(split("\r\n!"), (std::vector<std::string>{"\r\n", "!"}));
    EXPECT_EQ(split("\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA"),
              (std::vector<std::string>{"\U0001F1EB\U0001F1F7", "\U0001F1E9\U0001F1EA"}));
}
