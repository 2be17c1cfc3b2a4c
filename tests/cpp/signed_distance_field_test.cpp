#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "metal/signed_distance_field.hpp"

using namespace quendal::metal;

namespace {

// Brute force: least (q - p)^2 + f[p] over every p.
std::vector<float> bruteSquared(const std::vector<float>& f)
{
    std::vector<float> d(f.size());
    for (size_t q = 0; q < f.size(); ++q) {
        double best = std::numeric_limits<double>::infinity();
        for (size_t p = 0; p < f.size(); ++p) {
            const double dq = double(q) - double(p);
            best = std::min(best, dq * dq + f[p]);
        }
        d[q] = static_cast<float>(best);
    }
    return d;
}

std::vector<float> transformed(const std::vector<float>& f)
{
    const auto n = static_cast<uint32_t>(f.size());
    std::vector<float> d(n);
    std::vector<int32_t> v(n);
    std::vector<float> z(n + 1);
    QuendalPySquaredDistanceTransform(f.data(), d.data(), n, v.data(), z.data());
    return d;
}

struct Bitmap {
    uint32_t width, height;
    std::vector<uint8_t> bytes;
    Bitmap(uint32_t w, uint32_t h) : width(w), height(h), bytes(size_t{w} * h * 4, 0) {}
    void set(uint32_t x, uint32_t y, uint8_t alpha) { bytes[(size_t{y} * width + x) * 4 + 3] = alpha; }
    const uint8_t* at(uint32_t x, uint32_t y) const { return &bytes[(size_t{y} * width + x) * 4]; }
    bool inside(uint32_t x, uint32_t y) const { return at(x, y)[3] >= 128; }
};

// Exact Euclidean distance from each pixel to the nearest pixel whose inside
// test equals wanted, by looking at every pixel.
double nearest(const Bitmap& b, uint32_t x, uint32_t y, bool wanted)
{
    double best = 1e10;
    for (uint32_t py = 0; py < b.height; ++py) {
        for (uint32_t px = 0; px < b.width; ++px) {
            if (b.inside(px, py) != wanted) continue;
            const double dx = double(x) - px, dy = double(y) - py;
            best = std::min(best, std::sqrt(dx * dx + dy * dy));
        }
    }
    return best;
}

}  // namespace

TEST(SquaredDistanceTransform, MatchesBruteForceOnIntegerCosts)
{
    std::mt19937 random(7);
    for (uint32_t n : {1u, 2u, 3u, 17u, 64u, 301u}) {
        for (int round = 0; round < 20; ++round) {
            std::vector<float> f(n);
            for (auto& value : f) value = (random() % 3 == 0) ? 0.0f : float(random() % 50);
            EXPECT_EQ(transformed(f), bruteSquared(f)) << "n = " << n;
        }
    }
}

TEST(SquaredDistanceTransform, BinaryLineGivesSquaredDistanceToNearestZero)
{
    std::vector<float> f(12, 1e10f);
    f[3] = 0.0f;
    f[9] = 0.0f;
    const std::vector<float> expected = {9, 4, 1, 0, 1, 4, 9, 4, 1, 0, 1, 4};
    EXPECT_EQ(transformed(f), expected);
}

TEST(DistanceFieldByte, EqualsFusedMultiplyAddThenTruncation)
{
    // Around every rounding edge of s x 255 + 0.5, and spread over [0, 1].
    std::vector<float> values;
    for (int n = 0; n <= 256; ++n) {
        float s = (float(n) - 0.5f) / 255.0f;
        for (int i = 0; i < 300; ++i) s = std::nextafter(s, -1.0f);
        for (int i = 0; i < 600; ++i, s = std::nextafter(s, 2.0f)) values.push_back(s);
    }
    std::mt19937 random(3);
    for (int i = 0; i < 200000; ++i) values.push_back(std::ldexp(float(random() & 0xFFFFFF), -24 - int(random() % 40)));
    for (float s : values) {
        if (!(s >= 0.0f && s <= 1.0f)) continue;
        // inside - outside = (s - 0.5) x twiceSpread exactly, for twiceSpread 1.
        const float twice = 1.0f;
        const float difference = s - 0.5f;
        const float back = difference / twice + 0.5f;
        const auto expected = static_cast<uint8_t>(std::fmaf(back, 255.0f, 0.5f));
        ASSERT_EQ(QuendalPyDistanceFieldByte(difference, 0.0f, twice), expected) << s;
    }
}

TEST(DistanceFieldByte, ClampsAndReadsNoSpreadAsZero)
{
    EXPECT_EQ(QuendalPyDistanceFieldByte(100.0f, 0.0f, 16.0f), 255);
    EXPECT_EQ(QuendalPyDistanceFieldByte(0.0f, 100.0f, 16.0f), 0);
    EXPECT_EQ(QuendalPyDistanceFieldByte(1.0f, 0.0f, 16.0f), 143);  // (1/16 + 0.5) x 255 + 0.5 = 143.9
    EXPECT_EQ(QuendalPyDistanceFieldByte(0.0f, 1.0f, 16.0f), 112);  // (0.5 - 1/16) x 255 + 0.5 = 112.06
    EXPECT_EQ(QuendalPyDistanceFieldByte(0.0f, 1.0f, 0.0f), 0);
    EXPECT_EQ(QuendalPyDistanceFieldByte(1.0f, 0.0f, 0.0f), 255);
    EXPECT_EQ(QuendalPyDistanceFieldByte(0.0f, 1.0f, std::nanf("")), 0);
}

TEST(SignedDistanceField, MatchesExactDistancesWithinOne)
{
    std::mt19937 random(11);
    for (auto [w, h] : {std::pair{37u, 23u}, {1u, 40u}, {40u, 1u}, {64u, 64u}}) {
        Bitmap bitmap(w, h);
        for (int blob = 0; blob < 4; ++blob) {
            const uint32_t cx = random() % w, cy = random() % h, r = 1 + random() % 6;
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x)
                    if ((x - double(cx)) * (x - double(cx)) + (y - double(cy)) * (y - double(cy)) <= r * r)
                        bitmap.set(x, y, uint8_t(128 + random() % 128));
        }
        bitmap.set(0, 0, 127);  // just outside
        Bitmap field = bitmap;
        ASSERT_TRUE(QuendalPyApplySignedDistanceField(field.bytes.data(), w, h, size_t{w} * 4, 4.0));
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                const double in = nearest(bitmap, x, y, false), out = nearest(bitmap, x, y, true);
                const double s = std::clamp((in - out) / 8.0 + 0.5, 0.0, 1.0);
                const int expected = int(s * 255 + 0.5);
                const uint8_t* p = field.at(x, y);
                ASSERT_NEAR(p[0], expected, 1) << x << "," << y << " in " << w << "x" << h;
                ASSERT_EQ(p[1], p[0]);
                ASSERT_EQ(p[2], p[0]);
                ASSERT_EQ(p[3], 255);
                ASSERT_EQ(p[0] >= 128, bitmap.inside(x, y));
            }
        }
    }
}

TEST(SignedDistanceField, UniformBitmapsAndRowPadding)
{
    // Rows of 5 pixels in 24 bytes: the padding is left alone.
    std::vector<uint8_t> empty(24 * 3, 0x55);
    for (size_t y = 0; y < 3; ++y)
        for (size_t x = 0; x < 5; ++x) empty[y * 24 + x * 4 + 3] = 0;
    ASSERT_TRUE(QuendalPyApplySignedDistanceField(empty.data(), 5, 3, 24, 8.0));
    for (size_t y = 0; y < 3; ++y) {
        for (size_t x = 0; x < 5; ++x)
            for (size_t c = 0; c < 4; ++c) EXPECT_EQ(empty[y * 24 + x * 4 + c], c == 3 ? 255 : 0);
        for (size_t x = 20; x < 24; ++x) EXPECT_EQ(empty[y * 24 + x], 0x55);
    }

    std::vector<uint8_t> full(6 * 6 * 4, 255);
    ASSERT_TRUE(QuendalPyApplySignedDistanceField(full.data(), 6, 6, 24, 8.0));
    for (uint8_t byte : full) EXPECT_EQ(byte, 255);
}

namespace {

// The field the plain way: both grids through the one-dimensional transform,
// every row then every column, square roots, bytes.
std::vector<uint8_t> referenceField(const Bitmap& b, float twiceSpread)
{
    const uint32_t w = b.width, h = b.height, n = std::max(w, h);
    std::vector<float> line(n), out(n), z(n + 1);
    std::vector<int32_t> v(n);
    auto transform = [&](bool zeroInside) {
        std::vector<float> grid(size_t{w} * h);
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) grid[size_t{y} * w + x] = b.inside(x, y) == zeroInside ? 0.0f : 1e10f;
        for (uint32_t y = 0; y < h; ++y) {
            std::copy_n(&grid[size_t{y} * w], w, line.begin());
            QuendalPySquaredDistanceTransform(line.data(), &grid[size_t{y} * w], w, v.data(), z.data());
        }
        for (uint32_t x = 0; x < w; ++x) {
            for (uint32_t y = 0; y < h; ++y) line[y] = grid[size_t{y} * w + x];
            QuendalPySquaredDistanceTransform(line.data(), out.data(), h, v.data(), z.data());
            for (uint32_t y = 0; y < h; ++y) grid[size_t{y} * w + x] = std::sqrt(out[y]);
        }
        return grid;
    };
    const std::vector<float> toInside = transform(true), toOutside = transform(false);
    std::vector<uint8_t> bytes(size_t{w} * h);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = QuendalPyDistanceFieldByte(toOutside[i], toInside[i], twiceSpread);
    return bytes;
}

}  // namespace

TEST(SignedDistanceField, EqualsThePlainTransformBitForBit)
{
    // Sparse and dense shapes, empty and full rows and columns, rows of one pixel
    // and of the atlas width.
    std::mt19937 random(5);
    for (auto [w, h, density] : {std::tuple{300u, 41u, 3u}, {1u, 70u, 50u}, {70u, 1u, 50u}, {1024u, 64u, 1u},
                                 {129u, 257u, 20u}, {64u, 64u, 97u}}) {
        Bitmap bitmap(w, h);
        for (uint32_t y = 0; y < h; ++y) {
            if (y % 7 == 3) continue;  // empty rows
            for (uint32_t x = 0; x < w; ++x)
                if (random() % 100 < density || y % 11 == 5) bitmap.set(x, y, uint8_t(random() % 256));
        }
        Bitmap field = bitmap;
        ASSERT_TRUE(QuendalPyApplySignedDistanceField(field.bytes.data(), w, h, size_t{w} * 4, 3.5));
        const std::vector<uint8_t> expected = referenceField(bitmap, 7.0f);
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                ASSERT_EQ(field.at(x, y)[0], expected[size_t{y} * w + x]) << x << "," << y << " in " << w << "x" << h;
    }
}
