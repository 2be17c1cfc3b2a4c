// The signed distance field of a glyph atlas bitmap: exact Euclidean distances
// (Felzenszwalb and Huttenlocher's lower envelope of parabolas) in single
// precision, turned into grey bytes. Pure computation on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quendal::metal {

// Replaces a width x height bitmap of B, G, R, A pixels (rows of bytesPerRow
// bytes) by its signed distance field. A pixel is inside when its alpha is 128
// or more. Each pixel becomes grey (B = G = R) with alpha 255: 128 or more
// inside, below 128 outside, changing by 255 / (2 x spread) per pixel of
// distance to the shape's edge. Returns false, leaving the bitmap as it was,
// when the working memory cannot be had.
bool QuendalPyApplySignedDistanceField(uint8_t* pixels, uint32_t width, uint32_t height, size_t bytesPerRow,
                                       double spread);

// The field's byte for a distance inside (to the nearest outside pixel) and a
// distance outside (to the nearest inside pixel).
uint8_t QuendalPyDistanceFieldByte(float inside, float outside, float twiceSpread);

// One-dimensional squared distance transform of f[0, n) into d: d[q] is the
// least (q - p)^2 + f[p]. v and z are work lines of n and n + 1 values; f and d
// must not overlap.
void QuendalPySquaredDistanceTransform(const float* f, float* d, uint32_t n, int32_t* v, float* z);

}  // namespace quendal::metal
