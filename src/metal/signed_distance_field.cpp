#include "metal/signed_distance_field.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

namespace quendal::metal {

namespace {

constexpr float kFar = 1e10f;
constexpr float kEnvelopeEnd = 1e20f;
constexpr size_t kRowSlack = 16;
// Widest row whose squared distances stay below 2^24, exact in a float.
constexpr uint32_t kExactWidth = 4096;

// Columns the column pass takes at once: one cache line of floats per row, so
// that each line (and page) fetched serves them all.
constexpr uint32_t kColumnBlock = 16;

// Work lines for one-dimensional transforms, allocated once per field.
struct Lines {
    Lines(uint32_t width, uint32_t height)
        : length(std::max(width, height)),
          columnStride(size_t{height} + kRowSlack),
          f(new (std::nothrow) float[length]),
          d(new (std::nothrow) float[length]),
          v(new (std::nothrow) int32_t[length]),
          z(new (std::nothrow) float[size_t{length} + 1]),
          columns(new (std::nothrow) float[kColumnBlock * columnStride])
    {
    }
    bool valid() const { return f && d && v && z && columns; }

    uint32_t length;
    size_t columnStride;  // padded for the same reason as the grid's rows
    std::unique_ptr<float[]> f;
    std::unique_ptr<float[]> d;
    std::unique_ptr<int32_t[]> v;
    std::unique_ptr<float[]> z;
    std::unique_ptr<float[]> columns;  // a block of columns, each one contiguous
};

// Squared distances of every grid row to the nearest pixel of value 0 along
// the row, the grid holding 0 where the bitmap's inside test equals zeroInside
// and kFar elsewhere.
//
// Rows are binary, which lets the lower envelope's result be had without
// building it, bit for bit: in a row with a 0 and at most kExactWidth pixels
// every term is an integer below 2^24, so each intersection is exact or off by
// far less than its distance to the next pixel, and the envelope yields the
// squared distance to the nearest 0. A row without a 0 always transforms the
// same way, so that is done once.
void transformRows(const uint8_t* pixels, uint32_t width, uint32_t height, size_t bytesPerRow, bool zeroInside,
                   float* grid, size_t stride, Lines& lines)
{
    const float insideValue = zeroInside ? 0.0f : kFar;
    const float outsideValue = zeroInside ? kFar : 0.0f;
    float* f = lines.f.get();
    float* farRow = lines.d.get();
    bool farRowDone = false;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = pixels + y * bytesPerRow;
        float* out = grid + y * stride;
        if (width > kExactWidth) {
            for (uint32_t x = 0; x < width; ++x) f[x] = row[x * 4 + 3] >= 128 ? insideValue : outsideValue;
            QuendalPySquaredDistanceTransform(f, out, width, lines.v.get(), lines.z.get());
            continue;
        }
        // Distance to the nearest 0 on the left (kNone if there is none), then
        // the nearer of that and the nearest on the right.
        constexpr int32_t kNone = INT32_MAX / 2;
        int32_t* left = lines.v.get();
        int32_t last = -kNone;
        for (uint32_t x = 0; x < width; ++x) {
            if ((row[x * 4 + 3] >= 128) == zeroInside) last = static_cast<int32_t>(x);
            left[x] = static_cast<int32_t>(x) - last;
        }
        if (last < 0) {
            if (!farRowDone) {
                for (uint32_t x = 0; x < width; ++x) f[x] = kFar;
                QuendalPySquaredDistanceTransform(f, farRow, width, lines.v.get(), lines.z.get());
                farRowDone = true;
            }
            std::copy(farRow, farRow + width, out);
            continue;
        }
        int32_t next = kNone + static_cast<int32_t>(width);
        for (uint32_t x = width; x-- > 0;) {
            if (left[x] == 0) next = static_cast<int32_t>(x);
            const int32_t distance = std::min(left[x], next - static_cast<int32_t>(x));
            out[x] = static_cast<float>(distance * distance);
        }
    }
}

// The column pass over row results, leaving Euclidean distances in the grid.
// A column is a stride apart in memory per pixel: the pass copies a block of
// adjacent columns out row by row, transforms each, and copies them back, so
// that tall atlases do not fetch every cache line and page once per column.
void transformColumns(float* grid, uint32_t width, uint32_t height, size_t stride, Lines& lines)
{
    float* block = lines.columns.get();
    const size_t columnStride = lines.columnStride;
    float* d = lines.d.get();
    for (uint32_t x0 = 0; x0 < width; x0 += kColumnBlock) {
        const uint32_t n = std::min(kColumnBlock, width - x0);
        for (uint32_t y = 0; y < height; ++y) {
            const float* row = grid + y * stride + x0;
            for (uint32_t j = 0; j < n; ++j) block[j * columnStride + y] = row[j];
        }
        for (uint32_t j = 0; j < n; ++j) {
            float* column = block + j * columnStride;
            QuendalPySquaredDistanceTransform(column, d, height, lines.v.get(), lines.z.get());
            for (uint32_t y = 0; y < height; ++y) column[y] = std::sqrt(d[y]);
        }
        for (uint32_t y = 0; y < height; ++y) {
            float* row = grid + y * stride + x0;
            for (uint32_t j = 0; j < n; ++j) row[j] = block[j * columnStride + y];
        }
    }
}

}  // namespace

void QuendalPySquaredDistanceTransform(const float* f, float* d, uint32_t n, int32_t* v, float* z)
{
    if (n == 0) return;
    const auto count = static_cast<int32_t>(n);
    int32_t k = 0;
    v[0] = 0;
    z[0] = -kEnvelopeEnd;
    z[1] = kEnvelopeEnd;
    for (int32_t q = 1; q < count; ++q) {
        // f(p) + p^2 with p^2 formed as an integer, for q and the envelope's top.
        const float fq = f[q] + static_cast<float>(q * q);
        int32_t p = v[k];
        float s = (fq - (f[p] + static_cast<float>(p * p))) / static_cast<float>(2 * q - 2 * p);
        while (s <= z[k]) {
            --k;
            p = v[k];
            s = (fq - (f[p] + static_cast<float>(p * p))) / static_cast<float>(2 * q - 2 * p);
        }
        ++k;
        v[k] = q;
        z[k] = s;
        z[k + 1] = kEnvelopeEnd;
    }
    k = 0;
    for (int32_t q = 0; q < count; ++q) {
        while (z[k + 1] < static_cast<float>(q)) ++k;
        const int32_t p = v[k];
        d[q] = static_cast<float>((q - p) * (q - p)) + f[p];
    }
}

uint8_t QuendalPyDistanceFieldByte(float inside, float outside, float twiceSpread)
{
    float s = (inside - outside) / twiceSpread + 0.5f;
    s = s > 0.0f ? s : 0.0f;  // a NaN (no spread) counts as 0
    s = s < 1.0f ? s : 1.0f;
    // truncate(fmaf(s, 255, 0.5)) without a call into libm where the CPU has no
    // fused multiply-add: s x 255 is exact in double, and adding 0.5 rounds only
    // when s is so small that the sum stays far from every integer, so rounding
    // the double to float once gives the fused single-precision result.
    return static_cast<uint8_t>(static_cast<float>(static_cast<double>(s) * 255.0 + 0.5));
}

bool QuendalPyApplySignedDistanceField(uint8_t* pixels, uint32_t width, uint32_t height, size_t bytesPerRow,
                                       double spread)
{
    if (width == 0 || height == 0) return true;
    // Rows a little longer than the width: with power-of-two rows, the cache
    // lines a column pass walks would all fall into the same few cache sets.
    const size_t stride = size_t{width} + kRowSlack;
    const size_t count = stride * height;
    std::unique_ptr<float[]> outside(new (std::nothrow) float[count]);
    std::unique_ptr<float[]> inside(new (std::nothrow) float[count]);
    Lines lines(width, height);
    if (!outside || !inside || !lines.valid()) return false;

    // outside: distance to the nearest inside pixel; inside: to the nearest outside one.
    transformRows(pixels, width, height, bytesPerRow, true, outside.get(), stride, lines);
    transformColumns(outside.get(), width, height, stride, lines);
    transformRows(pixels, width, height, bytesPerRow, false, inside.get(), stride, lines);
    transformColumns(inside.get(), width, height, stride, lines);

    const float twiceSpread = static_cast<float>(2.0 * spread);
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = pixels + y * bytesPerRow;
        const float* a = outside.get() + y * stride;
        const float* b = inside.get() + y * stride;
        for (uint32_t x = 0; x < width; ++x) {
            // Grey, opaque: B = G = R = the value, A = 255, in little-endian order.
            const uint32_t value = QuendalPyDistanceFieldByte(b[x], a[x], twiceSpread);
            const uint32_t pixel = value * 0x010101u | 0xFF000000u;
            std::memcpy(row + size_t{x} * 4, &pixel, 4);
        }
    }
    return true;
}

}  // namespace quendal::metal
